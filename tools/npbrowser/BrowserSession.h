// tools/npbrowser/BrowserSession.h — embeddings of one plug-in on a page and the script that drives them:
// instances created with NPP_New, each asked once for its scriptable object, method calls on those objects,
// and the instances destroyed at the end the way a browser leaves a page.
#pragma once
#include "plugin/NpApi.h"

#include <cJSON.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace npbrowser {

class BrowserSession {
public:
    BrowserSession(const NPPluginFuncs& stPluginFuncs, std::string strMIMEType);
    ~BrowserSession();
    BrowserSession(const BrowserSession&) = delete;
    BrowserSession& operator=(const BrowserSession&) = delete;

    // One JSON line per step of the script, one JSON line answered per step on stdout. Returns the number of
    // steps whose outcome differed from what the line expected, or that could not be read.
    int RunScript(FILE* pInput);
    // n times: create an instance, ask twice for its object, call a method, destroy the instance and drop the
    // page's references. Prints one line with the outcome, with the growth of the plug-in's heap blocks after
    // ten cycles when they are counted (CountAllocationsOf); false when a cycle went wrong.
    bool RunCycles(int nCycles);
    // Destroys every instance still alive and drops the page's references to their objects.
    void DestroyAll();

    struct Embedding;

private:
    Embedding* EmbeddingOf(int nInstance, bool bCreate);
    void Destroy(int nInstance, bool bReport);

    NPPluginFuncs m_stPluginFuncs;
    std::string m_strMIMEType;
    std::map<int, std::unique_ptr<Embedding>> m_mapEmbeddings;
};

// Prints one JSON value as a line on stdout (takes ownership).
void PrintLine(cJSON* pJSON);

}  // namespace npbrowser
