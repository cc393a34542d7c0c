// platform/linux/src/system/Xml.cpp — the DOM document class over libxml2: loadXML, the node tree as the
// chain documents are walked (names, children, last child, text) and reference counting, answering as the
// platform's DOM does. Documents are untrusted: nothing is fetched (no network, no external entity or
// DTD is ever loaded), parsing keeps libxml2's depth and size limits, and text is gathered on a budget.
#include "Xml.h"
#include "Utf8.h"

#include <msxml2.h>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

const CLSID kDocumentClasses[] = {
    {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}},  // DOMDocument
    {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}},  // DOMDocument (2.6)
    {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}},  // DOMDocument (3.0)
};
const IID kIID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIID_IXMLDOMNode = {0x2933BF80, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IXMLDOMDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IXMLDOMNodeList = {0x2933BF82, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IXMLDOMDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Longest document loadXML takes, in UTF-16 units; the agent's documents are tens of kilobytes.
constexpr UINT kMaxDocumentUnits = 16u << 20;
// Nodes one text property may visit: entity references can repeat a subtree many times over.
constexpr size_t kTextVisitBudget = 1u << 20;
// And the text it may gather, in bytes.
constexpr size_t kTextByteBudget = 64u << 20;

using Tree = std::shared_ptr<xmlDoc>;

// Nothing outside the document is ever read on its behalf.
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

void SetUpLibrary()
{
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        xmlInitParser();
        xmlSetExternalEntityLoader(RefuseExternalEntity);
    });
}

bool IsXmlWhite(xmlChar ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

bool IsAllWhite(const xmlChar* psz)
{
    if (psz == nullptr) return true;
    for (; *psz != 0; ++psz)
        if (!IsXmlWhite(*psz)) return false;
    return true;
}

// Whitespace-only text between elements is not part of the tree the DOM shows, unless xml:space keeps it.
bool IsIgnorableWhitespace(xmlNodePtr pNode)
{
    return pNode->type == XML_TEXT_NODE && IsAllWhite(pNode->content) &&
           (pNode->parent == nullptr || xmlNodeGetSpacePreserve(pNode->parent) != 1);
}

bool IsShown(xmlNodePtr pNode)
{
    switch (pNode->type) {
    case XML_ELEMENT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_ENTITY_REF_NODE:
    case XML_PI_NODE:
    case XML_COMMENT_NODE:
    case XML_DTD_NODE:
        return true;
    case XML_TEXT_NODE:
        return !IsIgnorableWhitespace(pNode);
    default:
        return false;
    }
}

HRESULT NewBstrFromUtf8(const std::string& str, BSTR* pbstr)
{
    *pbstr = nullptr;
    if (str.empty()) {
        *pbstr = SysAllocStringLen(nullptr, 0);
        return *pbstr != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    if (str.size() > 0x7FFFFFFF) return E_OUTOFMEMORY;
    const int cch = MultiByteToWideChar(CP_UTF8, 0, str.data(), static_cast<int>(str.size()), nullptr, 0);
    if (cch <= 0) return E_FAIL;
    BSTR bstr = SysAllocStringLen(nullptr, static_cast<UINT>(cch));
    if (bstr == nullptr) return E_OUTOFMEMORY;
    MultiByteToWideChar(CP_UTF8, 0, str.data(), static_cast<int>(str.size()), bstr, cch);
    *pbstr = bstr;
    return S_OK;
}

std::string NameOf(xmlNodePtr pNode)
{
    const char* pszName = reinterpret_cast<const char*>(pNode->name);
    switch (pNode->type) {
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE:
        return "#document";
    case XML_TEXT_NODE:
        return "#text";
    case XML_CDATA_SECTION_NODE:
        return "#cdata-section";
    case XML_COMMENT_NODE:
        return "#comment";
    case XML_DOCUMENT_FRAG_NODE:
        return "#document-fragment";
    case XML_ELEMENT_NODE:
        if (pNode->ns != nullptr && pNode->ns->prefix != nullptr)
            return std::string(reinterpret_cast<const char*>(pNode->ns->prefix)) + ":" + (pszName ? pszName : "");
        return pszName ? pszName : "";
    default:
        return pszName ? pszName : "";
    }
}

// The text property: the node's own value for a leaf; for a parent, its descendants' text and CDATA run
// together, an ignored run of whitespace between two pieces standing as one space, then trimmed at the top
// (unless xml:space keeps it).
class TextGatherer {
public:
    bool Gather(xmlNodePtr pNode, std::string& strOut)
    {
        bool bTrailingSpace = false;
        if (!Walk(pNode, strOut, bTrailingSpace)) return false;
        // Comments, CDATA sections and processing instructions keep their value as written.
        if (pNode->type == XML_COMMENT_NODE || pNode->type == XML_CDATA_SECTION_NODE || pNode->type == XML_PI_NODE)
            return true;
        if (xmlNodeGetSpacePreserve(pNode) == 1 && pNode->type == XML_ELEMENT_NODE) return true;
        size_t nBegin = 0, nEnd = strOut.size();
        while (nBegin < nEnd && IsXmlWhite(static_cast<xmlChar>(strOut[nBegin]))) ++nBegin;
        while (nEnd > nBegin && IsXmlWhite(static_cast<xmlChar>(strOut[nEnd - 1]))) --nEnd;
        strOut = strOut.substr(nBegin, nEnd - nBegin);
        return true;
    }

private:
    bool Append(std::string& strOut, const xmlChar* psz)
    {
        if (psz == nullptr) return true;
        const size_t cb = strlen(reinterpret_cast<const char*>(psz));
        if (strOut.size() + cb > kTextByteBudget) return false;
        strOut.append(reinterpret_cast<const char*>(psz), cb);
        return true;
    }

    bool Walk(xmlNodePtr pNode, std::string& strOut, bool& bTrailingSpace)
    {
        if (++m_nVisits > kTextVisitBudget) return false;
        const bool bParent = pNode->children != nullptr && pNode->type != XML_ATTRIBUTE_NODE;
        if (!bParent) {
            switch (pNode->type) {
            case XML_TEXT_NODE:
            case XML_CDATA_SECTION_NODE:
            case XML_COMMENT_NODE:
            case XML_PI_NODE:
                return Append(strOut, pNode->content);
            default:
                return true;
            }
        }
        bool bPendingSpace = false;
        const bool bPreserve = xmlNodeGetSpacePreserve(pNode) == 1;
        for (xmlNodePtr pChild = pNode->children; pChild != nullptr; pChild = pChild->next) {
            std::string strPiece;
            bool bChildTrailing = false;
            switch (pChild->type) {
            case XML_ELEMENT_NODE:
            case XML_ENTITY_REF_NODE:
                if (!Walk(pChild, strPiece, bChildTrailing)) return false;
                break;
            case XML_TEXT_NODE:
                if (!bPreserve && IsAllWhite(pChild->content)) {
                    bPendingSpace = true;
                    continue;
                }
                if (!Append(strPiece, pChild->content)) return false;
                break;
            case XML_CDATA_SECTION_NODE:
                if (!Append(strPiece, pChild->content)) return false;
                break;
            case XML_ENTITY_DECL:
                if (!Walk(pChild, strPiece, bChildTrailing)) return false;
                break;
            default:
                continue;
            }
            if (!strPiece.empty() || pChild->type == XML_CDATA_SECTION_NODE) {
                if (bPendingSpace && !strOut.empty()) strOut += ' ';
                if (strOut.size() + strPiece.size() > kTextByteBudget) return false;
                strOut += strPiece;
                bPendingSpace = false;
            }
            if (bChildTrailing) bPendingSpace = true;
        }
        bTrailingSpace = bPendingSpace;
        return true;
    }

    size_t m_nVisits = 0;
};

template <typename Interface>
class ComObject : public Interface {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_ulRefs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG ulRefs = --m_ulRefs;
        if (ulRefs == 0) delete this;
        return ulRefs;
    }

protected:
    virtual ~ComObject() = default;

private:
    std::atomic<ULONG> m_ulRefs{1};
};

HRESULT NewNode(const Tree& tree, xmlNodePtr pNode, IXMLDOMNode** ppNode);

// Node behaviour shared by the document and its nodes: pNode is the libxml2 node (the document's own
// node for the document), or nullptr for a document with nothing loaded.
HRESULT NodeName(xmlNodePtr pNode, BSTR* pbstrName)
{
    if (pbstrName == nullptr) return E_INVALIDARG;
    return NewBstrFromUtf8(pNode != nullptr ? NameOf(pNode) : std::string("#document"), pbstrName);
}

HRESULT NodeText(xmlNodePtr pNode, BSTR* pbstrText)
{
    if (pbstrText == nullptr) return E_INVALIDARG;
    std::string strText;
    if (pNode != nullptr) {
        TextGatherer gatherer;
        if (!gatherer.Gather(pNode, strText)) return E_OUTOFMEMORY;
    }
    return NewBstrFromUtf8(strText, pbstrText);
}

HRESULT NodeLastChild(const Tree& tree, xmlNodePtr pNode, IXMLDOMNode** ppLastChild)
{
    if (ppLastChild == nullptr) return E_INVALIDARG;
    *ppLastChild = nullptr;
    for (xmlNodePtr pChild = pNode != nullptr ? pNode->last : nullptr; pChild != nullptr; pChild = pChild->prev)
        if (IsShown(pChild)) return NewNode(tree, pChild, ppLastChild);
    return S_FALSE;
}

class NodeList final : public ComObject<IXMLDOMNodeList> {
public:
    NodeList(Tree tree, std::vector<xmlNodePtr> vecNodes) : m_tree(std::move(tree)), m_vecNodes(std::move(vecNodes)) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == kIID_IUnknown) && !(riid == kIID_IXMLDOMNodeList)) return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IXMLDOMNodeList*>(this);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** listItem) override
    {
        if (listItem == nullptr) return E_INVALIDARG;
        *listItem = nullptr;
        if (index < 0 || static_cast<size_t>(index) >= m_vecNodes.size()) return S_FALSE;
        return NewNode(m_tree, m_vecNodes[static_cast<size_t>(index)], listItem);
    }
    HRESULT STDMETHODCALLTYPE get_length(LONG* listLength) override
    {
        if (listLength == nullptr) return E_INVALIDARG;
        *listLength = static_cast<LONG>(m_vecNodes.size());
        return S_OK;
    }

private:
    Tree m_tree;
    std::vector<xmlNodePtr> m_vecNodes;
};

HRESULT NodeChildren(const Tree& tree, xmlNodePtr pNode, IXMLDOMNodeList** ppChildren)
{
    if (ppChildren == nullptr) return E_INVALIDARG;
    *ppChildren = nullptr;
    try {
        std::vector<xmlNodePtr> vecNodes;
        for (xmlNodePtr pChild = pNode != nullptr ? pNode->children : nullptr; pChild != nullptr; pChild = pChild->next)
            if (IsShown(pChild)) vecNodes.push_back(pChild);
        NodeList* pList = new (std::nothrow) NodeList(tree, std::move(vecNodes));
        if (pList == nullptr) return E_OUTOFMEMORY;
        *ppChildren = pList;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

class Node final : public ComObject<IXMLDOMNode> {
public:
    Node(Tree tree, xmlNodePtr pNode) : m_tree(std::move(tree)), m_pNode(pNode) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == kIID_IUnknown) && !(riid == kIID_IXMLDOMNode)) return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IXMLDOMNode*>(this);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override { return NodeName(m_pNode, name); }
    HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList** childList) override
    {
        return NodeChildren(m_tree, m_pNode, childList);
    }
    HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode** lastChild) override
    {
        return NodeLastChild(m_tree, m_pNode, lastChild);
    }
    HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override { return NodeText(m_pNode, text); }

private:
    Tree m_tree;  // keeps the tree alive while the node is held, whatever the document loads next
    xmlNodePtr m_pNode;
};

HRESULT NewNode(const Tree& tree, xmlNodePtr pNode, IXMLDOMNode** ppNode)
{
    Node* pObject = new (std::nothrow) Node(tree, pNode);
    if (pObject == nullptr) return E_OUTOFMEMORY;
    *ppNode = pObject;
    return S_OK;
}

// The encoding a declaration names; the text reaches the parser as Unicode already, and a document that
// declares a byte encoding other than UTF-8 or UTF-16 does not load (as on the platform).
bool DeclaresForeignEncoding(const std::string& strXml)
{
    if (strXml.compare(0, 5, "<?xml") != 0) return false;
    const size_t nEnd = strXml.find("?>");
    if (nEnd == std::string::npos) return false;
    const std::string strDecl = strXml.substr(0, nEnd);
    const size_t nName = strDecl.find("encoding");
    if (nName == std::string::npos) return false;
    size_t nPos = strDecl.find_first_of("\"'", nName);
    if (nPos == std::string::npos) return false;
    const size_t nClose = strDecl.find(strDecl[nPos], nPos + 1);
    if (nClose == std::string::npos) return false;
    std::string strName = strDecl.substr(nPos + 1, nClose - nPos - 1);
    for (char& ch : strName)
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    return strName != "UTF-8" && strName != "UTF-16";
}

class Document final : public ComObject<IXMLDOMDocument2> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!(riid == kIID_IUnknown) && !(riid == kIID_IXMLDOMNode) && !(riid == kIID_IXMLDOMDocument) &&
            !(riid == kIID_IXMLDOMDocument2))
            return E_NOINTERFACE;
        AddRef();
        *ppv = static_cast<IXMLDOMDocument2*>(this);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override { return NodeName(Root(), name); }
    HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList** childList) override
    {
        return NodeChildren(m_tree, Root(), childList);
    }
    HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode** lastChild) override
    {
        return NodeLastChild(m_tree, Root(), lastChild);
    }
    HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override { return NodeText(Root(), text); }

    HRESULT STDMETHODCALLTYPE loadXML(BSTR bstrXML, VARIANT_BOOL* isSuccessful) override
    {
        if (isSuccessful != nullptr) *isSuccessful = VARIANT_FALSE;
        // A load replaces the tree, even one that fails.
        m_tree.reset();
        const UINT cch = SysStringLen(bstrXML);
        if (cch == 0 || cch > kMaxDocumentUnits) return S_FALSE;
        std::string strXml;
        try {
            strXml = Utf8OfUtf16(bstrXML, cch);
            if (strXml.empty()) return S_FALSE;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        if (DeclaresForeignEncoding(strXml)) return S_FALSE;
        SetUpLibrary();
        // No entity substitution, no DTD loading, no network; libxml2's own depth and size limits stay on.
        const int nOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
        xmlDocPtr pDoc = xmlReadMemory(strXml.data(), static_cast<int>(strXml.size()), nullptr, "UTF-8", nOptions);
        if (pDoc == nullptr) return S_FALSE;
        if (m_bProhibitDtd && pDoc->intSubset != nullptr) {
            xmlFreeDoc(pDoc);
            return S_FALSE;
        }
        try {
            m_tree = Tree(pDoc, xmlFreeDoc);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        if (isSuccessful != nullptr) *isSuccessful = VARIANT_TRUE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_validateOnParse(VARIANT_BOOL isValidating) override
    {
        m_bValidate = isValidating != VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_resolveExternals(VARIANT_BOOL isResolving) override
    {
        // Recorded only: external parts are never fetched here.
        m_bResolveExternals = isResolving != VARIANT_FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) override
    {
        if (name != nullptr && CompareStringOrdinal(name, -1, u"ProhibitDTD", -1, FALSE) == CSTR_EQUAL) {
            if (value.vt != VT_BOOL) return E_INVALIDARG;
            m_bProhibitDtd = value.boolVal != VARIANT_FALSE;
            return S_OK;
        }
        return E_FAIL;
    }

private:
    xmlNodePtr Root() const { return m_tree ? reinterpret_cast<xmlNodePtr>(m_tree.get()) : nullptr; }

    Tree m_tree;
    bool m_bValidate = true;
    bool m_bResolveExternals = false;
    bool m_bProhibitDtd = false;
};

}  // namespace

bool IsXmlDocumentClass(REFCLSID rclsid)
{
    for (const CLSID& clsid : kDocumentClasses)
        if (clsid == rclsid) return true;
    return false;
}

HRESULT CreateXmlDocument(REFIID riid, void** ppv)
{
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    Document* pDocument = new (std::nothrow) Document();
    if (pDocument == nullptr) return E_OUTOFMEMORY;
    const HRESULT hResult = pDocument->QueryInterface(riid, ppv);
    pDocument->Release();
    return hResult;
}
