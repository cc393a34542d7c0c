// platform/linux/include/msxml2.h — the XML DOM interfaces the chain documents are walked through, in
// the order of their methods' use; the native product build's document class carries them out over
// libxml2 (CoCreateInstance of the DOM document class), the fuzz build creates no document.
#pragma once
#include <oleauto.h>

struct IXMLDOMNodeList;

struct IXMLDOMNode : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList** childList) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode** lastChild) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_text(BSTR* text) = 0;

protected:
    ~IXMLDOMNode() = default;
};

struct IXMLDOMNodeList : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** listItem) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_length(LONG* listLength) = 0;

protected:
    ~IXMLDOMNodeList() = default;
};

struct IXMLDOMDocument : public IXMLDOMNode {
    virtual HRESULT STDMETHODCALLTYPE loadXML(BSTR bstrXML, VARIANT_BOOL* isSuccessful) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_validateOnParse(VARIANT_BOOL isValidating) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_resolveExternals(VARIANT_BOOL isResolving) = 0;

protected:
    ~IXMLDOMDocument() = default;
};

struct IXMLDOMDocument2 : public IXMLDOMDocument {
    virtual HRESULT STDMETHODCALLTYPE setProperty(BSTR name, VARIANT value) = 0;

protected:
    ~IXMLDOMDocument2() = default;
};
