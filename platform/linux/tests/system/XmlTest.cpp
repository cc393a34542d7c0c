// platform/linux/tests/system/XmlTest.cpp — the DOM document over libxml2 against what the platform's DOM
// answers (measured under Wine): load results, the tree as names and texts, and hostile documents.
#include <gtest/gtest.h>

#include <msxml2.h>

#include <string>

namespace {

const CLSID kDocumentClass = {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
const IID kIIDDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIIDDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIIDNodeList = {0x2933BF82, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

std::u16string Utf16(const std::string& str)
{
    std::u16string wstr(str.size() + 1, u'\0');
    const int cch = MultiByteToWideChar(CP_UTF8, 0, str.data(), static_cast<int>(str.size()), wstr.data(),
                                        static_cast<int>(wstr.size()));
    wstr.resize(cch > 0 ? static_cast<size_t>(cch) : 0);
    return wstr;
}

std::string Utf8(BSTR bstr)
{
    std::string str;
    for (UINT i = 0; i < SysStringLen(bstr); ++i) {
        const WCHAR wch = bstr[i];
        if (wch < 0x80)
            str += static_cast<char>(wch);
        else
            str += "\\u" + std::to_string(wch);
    }
    return str;
}

class ComScope {
public:
    ComScope() { EXPECT_EQ(CoInitialize(nullptr), S_OK); }
    ~ComScope() { CoUninitialize(); }
};

// The node as name='text' followed by its children in brackets.
std::string Describe(IXMLDOMNode* pNode)
{
    BSTR bstrName = nullptr, bstrText = nullptr;
    EXPECT_EQ(pNode->get_nodeName(&bstrName), S_OK);
    EXPECT_EQ(pNode->get_text(&bstrText), S_OK);
    std::string str = Utf8(bstrName) + "='" + Utf8(bstrText) + "'";
    SysFreeString(bstrName);
    SysFreeString(bstrText);
    IXMLDOMNodeList* pList = nullptr;
    EXPECT_EQ(pNode->get_childNodes(&pList), S_OK);
    LONG lLength = -1;
    EXPECT_EQ(pList->get_length(&lLength), S_OK);
    if (lLength > 0) str += "[";
    for (LONG i = 0; i < lLength; ++i) {
        IXMLDOMNode* pChild = nullptr;
        EXPECT_EQ(pList->get_item(i, &pChild), S_OK);
        str += (i ? " " : "") + Describe(pChild);
        pChild->Release();
    }
    if (lLength > 0) str += "]";
    IXMLDOMNode* pPast = reinterpret_cast<IXMLDOMNode*>(1);
    EXPECT_EQ(pList->get_item(lLength, &pPast), S_FALSE);
    EXPECT_EQ(pPast, nullptr);
    pList->Release();
    return str;
}

IXMLDOMDocument* NewDocument(bool bProhibitDtd)
{
    IXMLDOMDocument* pDocument = nullptr;
    EXPECT_EQ(CoCreateInstance(kDocumentClass, nullptr, CLSCTX_INPROC_SERVER, kIIDDocument,
                               reinterpret_cast<void**>(&pDocument)),
              S_OK);
    if (bProhibitDtd) {
        IXMLDOMDocument2* pDocument2 = nullptr;
        EXPECT_EQ(pDocument->QueryInterface(kIIDDocument2, reinterpret_cast<void**>(&pDocument2)), S_OK);
        VARIANT var;
        VariantInit(&var);
        var.vt = VT_BOOL;
        var.boolVal = VARIANT_TRUE;
        BSTR bstrName = SysAllocString(u"ProhibitDTD");
        EXPECT_EQ(pDocument2->setProperty(bstrName, var), S_OK);
        SysFreeString(bstrName);
        pDocument2->Release();
    }
    return pDocument;
}

HRESULT Load(IXMLDOMDocument* pDocument, const std::u16string& wstrXml, VARIANT_BOOL& bLoaded)
{
    BSTR bstr = SysAllocStringLen(wstrXml.data(), static_cast<UINT>(wstrXml.size()));
    const HRESULT hResult = pDocument->loadXML(bstr, &bLoaded);
    SysFreeString(bstr);
    return hResult;
}

struct DocumentCase {
    const char* pszXml;
    HRESULT hrLoad;
    const char* pszTree;  // the document's children, as Describe gives them
};

TEST(XmlDocument, LoadsAndShowsTheTreeAsThePlatformDoes)
{
    ComScope com;
    const DocumentCase kCases[] = {
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root a=\"1\">\n  <x:Child xmlns:x=\"u\"> one \n  two </x:Child>\n"
         "  <!-- c -->\n  <b>l<![CDATA[ cd ]]>r<i> in </i>  tail &amp; </b><e/>\n</root>\n",
         S_OK,
         "#document='one \n  two  l cd r in   tail &'[root='one \n  two  l cd r in   tail &'[x:Child='one \n  two'"
         "[#text='one \n  two'] #comment=' c ' b='l cd r in   tail &'[#text='l' #cdata-section=' cd ' #text='r' "
         "i='in'[#text='in'] #text='tail &'] e='']]"},
        {"<root/><!-- after -->", S_OK, "#document=''[root='' #comment=' after ']"},
        {"<r>\xE4\xB8\xAD &lt;&#x41;</r>", S_OK, "#document='\\u20013 <A'[r='\\u20013 <A'[#text='\\u20013 <A']]"},
        {"<a><b><c>deep</c></b></a>", S_OK, "#document='deep'[a='deep'[b='deep'[c='deep'[#text='deep']]]]"},
        {"<root>", S_FALSE, "#document=''"},
        {"", S_FALSE, "#document=''"},
        {"<?xml version=\"1.0\" encoding=\"GB2312\"?><r/>", S_FALSE, "#document=''"},
    };
    for (const DocumentCase& c : kCases) {
        SCOPED_TRACE(c.pszXml);
        IXMLDOMDocument* pDocument = NewDocument(false);
        VARIANT_BOOL bLoaded = 7;
        EXPECT_EQ(Load(pDocument, Utf16(c.pszXml), bLoaded), c.hrLoad);
        EXPECT_EQ(bLoaded, c.hrLoad == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
        EXPECT_EQ(Describe(pDocument), c.pszTree);
        IXMLDOMNode* pLast = reinterpret_cast<IXMLDOMNode*>(1);
        EXPECT_EQ(pDocument->get_lastChild(&pLast), c.hrLoad == S_OK ? S_OK : S_FALSE);
        if (pLast != nullptr) pLast->Release();
        EXPECT_EQ(pDocument->Release(), 0u);
    }
}

TEST(XmlDocument, HostileDocumentsFetchNothingAndStayBounded)
{
    ComScope com;
    std::string strDeep;
    for (int i = 0; i < 5000; ++i) strDeep += "<a>";
    for (int i = 0; i < 5000; ++i) strDeep += "</a>";
    std::string strLaughs = "<!DOCTYPE r [<!ENTITY l0 \"hahahahahahahahahaha\">";
    for (int i = 1; i < 12; ++i) {
        strLaughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) strLaughs += "&l" + std::to_string(i - 1) + ";";
        strLaughs += "\">";
    }
    strLaughs += "]><r>&l11;</r>";
    struct Hostile {
        const char* pszName;
        std::string strXml;
        bool bProhibitDtd;
        HRESULT hrLoad;
    };
    const Hostile kCases[] = {
        {"external entity", "<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>", false, S_OK},
        {"external DTD", "<!DOCTYPE r SYSTEM \"http://127.0.0.1:1/x.dtd\"><r/>", false, S_OK},
        {"document type refused", "<!DOCTYPE r><r/>", true, S_FALSE},
        {"deep nesting", strDeep, false, S_FALSE},
        {"huge text", "<r>" + std::string(12u << 20, 'x') + "</r>", false, S_FALSE},
        {"entity expansion", strLaughs, false, S_FALSE},  // the parser's own amplification limit
    };
    for (const Hostile& c : kCases) {
        SCOPED_TRACE(c.pszName);
        IXMLDOMDocument* pDocument = NewDocument(c.bProhibitDtd);
        VARIANT_BOOL bLoaded = VARIANT_FALSE;
        EXPECT_EQ(Load(pDocument, Utf16(c.strXml), bLoaded), c.hrLoad);
        BSTR bstrText = nullptr;
        const HRESULT hrText = pDocument->get_text(&bstrText);
        // Whatever the text gathers, it is never a file's content and never unbounded.
        if (SUCCEEDED(hrText)) {
            EXPECT_EQ(Utf8(bstrText).find("root:"), std::string::npos);
            EXPECT_LE(SysStringLen(bstrText), 64u << 20);
        } else {
            EXPECT_EQ(hrText, E_OUTOFMEMORY);
        }
        SysFreeString(bstrText);
        pDocument->Release();
    }
}

TEST(XmlDocument, NodesOutliveTheDocumentAndItsNextLoad)
{
    ComScope com;
    IXMLDOMDocument* pDocument = NewDocument(false);
    VARIANT_BOOL bLoaded = VARIANT_FALSE;
    ASSERT_EQ(Load(pDocument, u"<root><c>kept</c></root>", bLoaded), S_OK);
    IXMLDOMNode* pRoot = nullptr;
    ASSERT_EQ(pDocument->get_lastChild(&pRoot), S_OK);
    ASSERT_EQ(Load(pDocument, u"<other/>", bLoaded), S_OK);
    EXPECT_EQ(pDocument->Release(), 0u);
    EXPECT_EQ(Describe(pRoot), "root='kept'[c='kept'[#text='kept']]");
    EXPECT_EQ(pRoot->Release(), 0u);
}

TEST(XmlDocument, CreationAnswersThePlatformsCodes)
{
    void* pv = nullptr;
    EXPECT_EQ(CoCreateInstance(kDocumentClass, nullptr, CLSCTX_INPROC_SERVER, kIIDDocument, &pv), CO_E_NOTINITIALIZED);
    ComScope com;
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    CoUninitialize();
    const GUID kOther = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(CoCreateInstance(kOther, nullptr, CLSCTX_INPROC_SERVER, kIIDDocument, &pv), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoCreateInstance(kDocumentClass, nullptr, CLSCTX_INPROC_SERVER, kIIDNodeList, &pv), E_NOINTERFACE);
    EXPECT_EQ(pv, nullptr);
    IXMLDOMDocument2* pDocument2 = nullptr;
    ASSERT_EQ(CoCreateInstance(kDocumentClass, nullptr, CLSCTX_INPROC_SERVER, kIIDDocument2,
                               reinterpret_cast<void**>(&pDocument2)),
              S_OK);
    VARIANT var;
    VariantInit(&var);
    BSTR bstrName = SysAllocString(u"NoSuchProperty");
    EXPECT_EQ(pDocument2->setProperty(bstrName, var), E_FAIL);
    SysFreeString(bstrName);
    EXPECT_EQ(pDocument2->Release(), 0u);
}

TEST(Bstr, CarriesItsByteLengthBeforeTheText)
{
    BSTR bstr = SysAllocStringLen(u"ab\0cd", 5);
    ASSERT_NE(bstr, nullptr);
    UINT32 cbPrefix = 0;
    memcpy(&cbPrefix, reinterpret_cast<BYTE*>(bstr) - 4, 4);
    EXPECT_EQ(cbPrefix, 10u);
    EXPECT_EQ(SysStringLen(bstr), 5u);
    EXPECT_EQ(bstr[5], 0);
    SysFreeString(bstr);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
}

TEST(Guid, IsARandomVersionFourInThePlatformsText)
{
    GUID guid1 = {}, guid2 = {};
    ASSERT_EQ(CoCreateGuid(&guid1), S_OK);
    ASSERT_EQ(CoCreateGuid(&guid2), S_OK);
    EXPECT_FALSE(guid1 == guid2);
    EXPECT_EQ(guid1.Data3 >> 12, 4);
    EXPECT_EQ(guid1.Data4[0] & 0xC0, 0x80);
    const GUID kKnown = {0x50F4B15C, 0x20A3, 0x484E, {0x95, 0xF8, 0xC6, 0xBC, 0x9A, 0x06, 0xE0, 0x50}};
    WCHAR wsz[64] = {};
    EXPECT_EQ(StringFromGUID2(kKnown, wsz, 64), 39);
    EXPECT_EQ(std::u16string(wsz), u"{50F4B15C-20A3-484E-95F8-C6BC9A06E050}");
    EXPECT_EQ(StringFromGUID2(kKnown, wsz, 38), 0);
}

}  // namespace
