// platform/linux/src/system/Xml.h — the DOM document class of the native build, for COM's class factory.
#pragma once
#include <objbase.h>

// Whether rclsid names the DOM document class (the version-independent one and its numbered siblings).
bool IsXmlDocumentClass(REFCLSID rclsid);

// A new, empty document handed out as riid (IUnknown, IXMLDOMNode, IXMLDOMDocument or IXMLDOMDocument2);
// E_NOINTERFACE for any other interface, E_OUTOFMEMORY when it cannot be made.
HRESULT CreateXmlDocument(REFIID riid, void** ppv);
