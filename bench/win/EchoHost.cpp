// bench/win/EchoHost.cpp — reads frames on standard input and answers each with one fixed frame of the
// size of the host's version answer: the same runtime I/O and the same Wine pipes as the host, without
// any of its work, so the difference between the two is what the host adds.
#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kAnswer[] = "{\"function\":\"QORA_GetVersion\",\"errorcode\":0,\"result\":\"3.2.0.4\",\"randomId\":\"7\"}";

bool ReadExact(unsigned char* pbBuffer, unsigned int cbWanted)
{
    unsigned int cbDone = 0;
    while (cbDone < cbWanted) {
        const int nRead = _read(0, pbBuffer + cbDone, cbWanted - cbDone);
        if (nRead <= 0) return false;
        cbDone += static_cast<unsigned int>(nRead);
    }
    return true;
}

}  // namespace

int main()
{
    if (_setmode(0, _O_BINARY) == -1 || _setmode(1, _O_BINARY) == -1) return 2;

    const uint32_t cbAnswer = static_cast<uint32_t>(strlen(kAnswer));
    unsigned char abAnswer[4 + sizeof(kAnswer)];
    for (int i = 0; i < 4; ++i) abAnswer[i] = static_cast<unsigned char>(cbAnswer >> (8 * i));
    memcpy(abAnswer + 4, kAnswer, cbAnswer);

    unsigned char* pbBody = nullptr;
    unsigned int cbCapacity = 0;
    for (;;) {
        unsigned char abPrefix[4] = {};
        if (!ReadExact(abPrefix, 4)) break;
        const uint32_t cbBody = static_cast<uint32_t>(abPrefix[0]) | static_cast<uint32_t>(abPrefix[1]) << 8 |
                                static_cast<uint32_t>(abPrefix[2]) << 16 | static_cast<uint32_t>(abPrefix[3]) << 24;
        if (cbBody == 0 || cbBody == 0xFFFFFFFFu) break;
        if (cbBody > 0x100000) {  // nothing the benchmark sends is this large
            free(pbBody);
            return 3;
        }
        if (cbBody > cbCapacity) {
            unsigned char* pbGrown = static_cast<unsigned char*>(realloc(pbBody, cbBody));
            if (pbGrown == nullptr) {
                free(pbBody);
                return 4;
            }
            pbBody = pbGrown;
            cbCapacity = cbBody;
        }
        if (!ReadExact(pbBody, cbBody)) break;
        if (_write(1, abAnswer, 4 + cbAnswer) != static_cast<int>(4 + cbAnswer)) break;
    }
    free(pbBody);
    return 0;
}
