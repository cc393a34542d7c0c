// Resource ids of the four chain documents (custom type "CERTIFICATE", language 1033) in both deliverables.
#pragma once

#define IDR_RSA_CERTIFICATE_CHAIN 208
#define IDR_SM2_CERTIFICATE_CHAIN 209
#define IDR_TEST_RSA_CERTIFICATE_CHAIN 210
#define IDR_TEST_SM2_CERTIFICATE_CHAIN 211
