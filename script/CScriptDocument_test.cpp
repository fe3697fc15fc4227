// Tests of the script debug documents: switched on by the registry, the page tree of
// application nodes, document text and position queries, the mapping between script and
// page positions, and the combined code-context enumerator.
#include "script/CScriptDocument.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "com/ClassRegistry.h"
#include "idl/Identifiers.h"
#include "registry/RegistryStore.h"
#include "script/CEnumDebugCodeContexts.h"
#include "script/CScriptDocContext.h"
#include "script/CScriptInstance.h"
#include "script/ScriptHostTestSupport.h"

using namespace script_test;

namespace {
// A stand-in for the platform's debugger: application, nodes and the manager.
class CFakeNode : public CComObjectRoot<CFakeNode, IDebugApplicationNode> {
public:
    HRESULT SetDocumentProvider(IDebugDocumentProvider* p) override {
        provider = p;
        return S_OK;
    }
    HRESULT Attach(IDebugApplicationNode* p) override {
        parent = p;
        return S_OK;
    }
    HRESULT Detach() override {
        parent = nullptr;
        detached = true;
        return S_OK;
    }
    HRESULT Close() override {
        closed = true;
        provider = nullptr;
        return S_OK;
    }
    CComPtr<IDebugDocumentProvider> provider;
    CComPtr<IDebugApplicationNode> parent;
    bool detached = false, closed = false;
};

class CFakeApplication : public CComObjectRoot<CFakeApplication, IDebugApplication32> {
public:
    HRESULT SetName(const BSTR& name) override {
        m_name = name.Str();
        return S_OK;
    }
    HRESULT StartDebugSession() override { return S_OK; }
    HRESULT CreateApplicationNode(IDebugApplicationNode** pp) override {
        CComPtr<CFakeNode> node = MakeObject<CFakeNode>();
        nodes.push_back(node);
        *pp = CComPtr<IDebugApplicationNode>(node.Get()).Detach();
        return S_OK;
    }
    HRESULT GetRootNode(IDebugApplicationNode** pp) override {
        *pp = CComPtr<IDebugApplicationNode>(root.Get()).Detach();
        return S_OK;
    }
    std::u16string m_name;
    CComPtr<CFakeNode> root = MakeObject<CFakeNode>();
    std::vector<CComPtr<CFakeNode>> nodes;
};

CComPtr<CFakeApplication> g_application;

class CFakeManager : public CComObjectRoot<CFakeManager, IProcessDebugManager32> {
public:
    HRESULT GetDefaultApplication(IDebugApplication32** pp) override {
        *pp = CComPtr<IDebugApplication32>(g_application.Get()).Detach();
        return S_OK;
    }
};

// A code context that remembers where it was asked for.
class CFakeCodeContext : public CComObjectRoot<CFakeCodeContext, IDebugCodeContext> {
public:
    explicit CFakeCodeContext(ULONG position) : m_position(position) {}
    HRESULT GetDocumentContext(IDebugDocumentContext**) override { return E_NOTIMPL; }
    ULONG m_position;
};

// An enumerator of `count` code contexts at one position.
class CFakeEnum : public CComObjectRoot<CFakeEnum, IEnumDebugCodeContexts> {
public:
    CFakeEnum(ULONG position, ULONG count) : m_position(position), m_left(count) {}
    HRESULT Next(ULONG celt, IDebugCodeContext** pscc, ULONG* fetched) override {
        ULONG n = 0;
        for (; n < celt && m_left > 0; ++n, --m_left)
            pscc[n] =
                CComPtr<IDebugCodeContext>(MakeObject<CFakeCodeContext>(m_position).Get()).Detach();
        if (fetched)
            *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG) override { return E_NOTIMPL; }
    HRESULT Reset() override { return E_NOTIMPL; }
    HRESULT Clone(IEnumDebugCodeContexts**) override { return E_NOTIMPL; }
    ULONG m_position, m_left;
};

// An engine object with debugging support; only what the hooks touch does anything.
class CFakeDebugEngine
    : public CComObjectRoot<CFakeDebugEngine, IActiveScript, IActiveScriptDebug32> {
public:
    explicit CFakeDebugEngine(ULONG contexts, HRESULT answer = S_OK)
        : m_contexts(contexts), m_answer(answer) {}
    HRESULT SetScriptSite(IActiveScriptSite*) override { return S_OK; }
    HRESULT GetScriptSite(const IID&, void**) override { return E_NOTIMPL; }
    HRESULT SetScriptState(SCRIPTSTATE) override { return S_OK; }
    HRESULT GetScriptState(SCRIPTSTATE*) override { return E_NOTIMPL; }
    HRESULT Close() override { return S_OK; }
    HRESULT AddNamedItem(const BSTR&, DWORD) override { return S_OK; }
    HRESULT AddTypeLib(const GUID&, DWORD, DWORD, DWORD) override { return S_OK; }
    HRESULT GetScriptDispatch(const BSTR&, IDispatch**) override { return E_NOTIMPL; }
    HRESULT GetCurrentScriptThreadID(SCRIPTTHREADID*) override { return E_NOTIMPL; }
    HRESULT GetScriptThreadID(DWORD, SCRIPTTHREADID*) override { return E_NOTIMPL; }
    HRESULT GetScriptThreadState(SCRIPTTHREADID, SCRIPTTHREADSTATE*) override { return E_NOTIMPL; }
    HRESULT InterruptScriptThread(SCRIPTTHREADID, const EXCEPINFO*, DWORD) override { return S_OK; }
    HRESULT Clone(IActiveScript**) override { return E_NOTIMPL; }
    HRESULT EnumCodeContextsOfPosition(DWORD cookie, ULONG offset, ULONG,
                                       IEnumDebugCodeContexts** pp) override {
        m_cookie = cookie;
        m_offset = offset;
        if (FAILED(m_answer))
            return m_answer;
        *pp = CComPtr<IEnumDebugCodeContexts>(MakeObject<CFakeEnum>(offset, m_contexts).Get())
                  .Detach();
        return S_OK;
    }
    ULONG m_contexts;
    HRESULT m_answer;
    DWORD m_cookie = ~0u;
    ULONG m_offset = ~0u;
};

// A debug-document context that is not one of the program's own.
class CForeignContext : public CComObjectRoot<CForeignContext, IDebugDocumentContext> {
public:
    HRESULT GetDocument(IDebugDocument**) override { return E_NOTIMPL; }
    HRESULT EnumCodeContexts(IEnumDebugCodeContexts**) override { return E_NOTIMPL; }
};

class ScriptDebugTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterEngines();
        m_dir = std::filesystem::temp_directory_path() /
                ("corvane-scriptdebug-" + std::to_string(getpid()));
        std::filesystem::create_directories(m_dir);
        const std::string path = (m_dir / "registry.reg").string();
        const char* old = getenv("CORVANE_REGISTRY");
        m_oldRegistry = old ? old : "";
        m_hadRegistry = old != nullptr;
        setenv("CORVANE_REGISTRY", path.c_str(), 1);
        g_application = MakeObject<CFakeApplication>();
        CClassRegistry::Instance().RegisterClass<CFakeManager>(CLSID_ProcessDebugManager, u"");
    }
    void TearDown() override {
        if (engine) {
            EXPECT_EQ(engine->Close(), S_OK);
        }
        CClassRegistry::Instance().Unregister(CLSID_ProcessDebugManager);
        g_application = nullptr;
        if (m_hadRegistry)
            setenv("CORVANE_REGISTRY", m_oldRegistry.c_str(), 1);
        else
            unsetenv("CORVANE_REGISTRY");
        std::filesystem::remove_all(m_dir);
    }
    void StartEngine(DWORD debugging) {
        CRegistryStore store;
        ASSERT_EQ(store.SetDword(kCorvaneKey, "Debugging", debugging), S_OK);
        engine = MakeObject<CScriptEngine>();
        ASSERT_EQ(engine->Init(&handler), S_OK);
    }
    // A page of two lines with two script blocks: script 0..4 → page 10..14 and
    // script 8..11 → page 20..23; script 5..7 is generated glue.
    DWORD AddPage(const char16_t* name = u"/Common/sub/page.asp") {
        page = MakeObject<CTestPage>(name, u"0123456789<% a %>\n<% bcde %> tail of the page");
        DWORD context = 0;
        EXPECT_EQ(engine->AddScriptPage(page.Get(), nullptr, &context), S_OK);
        EXPECT_EQ(engine->AddScript(BSTR(u"JScript"), BSTR(u"0;    1;;"), context,
                                    {{0, 10, 5}, {8, 20, 4}}),
                  S_OK);
        return context;
    }
    CComPtr<IDebugDocumentText> Document(DWORD context) {
        CComPtr<IDebugDocument> doc;
        EXPECT_EQ(engine->GetDocument(context, doc.Receive()), S_OK);
        return ComQuery<IDebugDocumentText>(doc.Get());
    }

    CTestHandler handler;
    CComPtr<CScriptEngine> engine;
    CComPtr<CTestPage> page;
    std::filesystem::path m_dir;
    std::string m_oldRegistry;
    bool m_hadRegistry = false;
};

TEST_F(ScriptDebugTest, IdleUnlessTheRegistrySaysDebugging) {
    for (DWORD value : {0u, 2u}) {
        StartEngine(value);
        EXPECT_FALSE(engine->IsDebugging());
        DWORD context = AddPage();
        CComPtr<IDebugDocument> doc;
        EXPECT_EQ(engine->GetDocument(context, doc.Receive()), E_UNEXPECTED);
        EXPECT_TRUE(g_application->nodes.empty());
        EXPECT_EQ(engine->Close(), S_OK);
        engine = nullptr;
    }
}

TEST_F(ScriptDebugTest, PagesBecomeNodesUnderTheirIncludingPage) {
    StartEngine(1);
    ASSERT_TRUE(engine->IsDebugging());
    EXPECT_EQ(g_application->m_name, u"Corvane");
    CComPtr<IDebugApplication32> app;
    EXPECT_EQ(engine->GetApplication(app.Receive()), S_OK);
    EXPECT_EQ(app.Get(), static_cast<IDebugApplication32*>(g_application.Get()));

    CComPtr<CTestPage> main = MakeObject<CTestPage>(u"/main.asp", u"m");
    CComPtr<CTestPage> include = MakeObject<CTestPage>(u"/inc.asp", u"i");
    DWORD mainContext = 0, includeContext = 0;
    ASSERT_EQ(engine->AddScriptPage(main.Get(), nullptr, &mainContext), S_OK);
    ASSERT_EQ(engine->AddScriptPage(include.Get(), main.Get(), &includeContext), S_OK);
    ASSERT_EQ(g_application->nodes.size(), 2u);
    CFakeNode* mainNode = g_application->nodes[0].Get();
    CFakeNode* includeNode = g_application->nodes[1].Get();
    EXPECT_EQ(mainNode->parent.Get(),
              static_cast<IDebugApplicationNode*>(g_application->root.Get()));
    EXPECT_EQ(includeNode->parent.Get(), static_cast<IDebugApplicationNode*>(mainNode));
    // The provider hands out the document that the engine knows for that page.
    CComPtr<IDebugDocument> fromProvider, fromEngine;
    ASSERT_EQ(includeNode->provider->GetDocument(fromProvider.Receive()), S_OK);
    ASSERT_EQ(engine->GetDocument(includeContext, fromEngine.Receive()), S_OK);
    EXPECT_EQ(fromProvider.Get(), fromEngine.Get());

    EXPECT_EQ(engine->Close(), S_OK);
    engine = nullptr;
    EXPECT_TRUE(mainNode->detached && mainNode->closed);
    EXPECT_TRUE(includeNode->detached && includeNode->closed);
}

TEST_F(ScriptDebugTest, DocumentTextAndPositions) {
    StartEngine(1);
    CComPtr<IDebugDocumentText> doc = Document(AddPage());
    ASSERT_TRUE(doc);
    BSTR name;
    EXPECT_EQ(doc->GetName(DOCUMENTNAMETYPE_URL, &name), S_OK);
    EXPECT_EQ(name.View(), u"/Common/sub/page.asp");
    EXPECT_EQ(doc->GetName(DOCUMENTNAMETYPE_TITLE, &name), S_OK);
    EXPECT_EQ(name.View(), u"page.asp");
    CLSID clsid = CLSID_JScript;
    EXPECT_EQ(doc->GetDocumentClassId(&clsid), S_OK);
    EXPECT_EQ(clsid, GUID_NULL);
    EXPECT_EQ(doc->GetDocumentClassId(nullptr), E_POINTER);
    TEXT_DOC_ATTR attributes = 0;
    EXPECT_EQ(doc->GetDocumentAttributes(&attributes), S_OK);
    EXPECT_EQ(attributes, TEXT_DOC_ATTR_READONLY);

    ULONG lines = 0, chars = 0, position = 0, line = 0, offset = 0;
    EXPECT_EQ(doc->GetSize(&lines, &chars), S_OK);
    EXPECT_EQ(std::make_pair(lines, chars), std::make_pair(2u, ULONG(page->Text().size())));
    EXPECT_EQ(doc->GetPositionOfLine(1, &position), S_OK);
    EXPECT_EQ(position, 18u);
    EXPECT_EQ(doc->GetLineOfPosition(22, &line, &offset), S_OK);
    EXPECT_EQ(std::make_pair(line, offset), std::make_pair(1u, 4u));
    EXPECT_EQ(doc->GetLineOfPosition(5, &line, nullptr), S_OK);
    EXPECT_EQ(line, 0u);

    // With a buffer: at most cMaxChars characters, every one non-source text.
    char16_t text[8] = {};
    SOURCE_TEXT_ATTR attrs[8] = {};
    ULONG count = 0;
    EXPECT_EQ(doc->GetText(10, text, attrs, &count, 5), S_OK);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(std::u16string_view(text, count), u"<% a ");
    EXPECT_EQ(attrs[4], SOURCETEXT_ATTR_NONSOURCE);
    EXPECT_EQ(attrs[5], 0);
    // Without a buffer: the page's size, attributes for as many as fit.
    SOURCE_TEXT_ATTR few[3] = {};
    EXPECT_EQ(doc->GetText(0, nullptr, few, &count, 3), S_OK);
    EXPECT_EQ(count, page->Text().size());
    EXPECT_EQ(few[2], SOURCETEXT_ATTR_NONSOURCE);
    EXPECT_EQ(doc->GetText(0, nullptr, nullptr, nullptr, 3), E_POINTER);
}

TEST_F(ScriptDebugTest, ScriptAndPagePositionsMapThroughBlocks) {
    StartEngine(1);
    const DWORD context = AddPage();
    CComPtr<IDebugDocumentText> doc = Document(context);
    const struct {
        bool fromScript;  // script position → page context, else page position → context
        ULONG position, length;
        HRESULT hr;
        ULONG pageStart, pageLength;
    } cases[] = {
        {true, 2, 10, S_OK, 12, 3},         // cut at the end of block 0
        {true, 6, 3, S_OK, 20, 1},          // in glue: start of the next block, cut at its end
        {true, 11, 5, S_OK, 23, 1},         // last character of the last block
        {true, 12, 1, E_INVALIDARG, 0, 0},  // after the last block
        {false, 11, 2, S_OK, 11, 2},
        {false, 15, 10, S_OK, 20, 4},  // between blocks: the next block
        {false, 15, 2, S_OK, 20, 0},   // a range that ends before the next block: empty
        {false, 24, 1, E_INVALIDARG, 0, 0},
    };
    for (const auto& c : cases) {
        CComPtr<IDebugDocumentContext> range;
        const HRESULT hr = c.fromScript
                               ? engine->GetDocumentContextFromPosition(context, 0, c.position,
                                                                        c.length, range.Receive())
                               : doc->GetContextOfPosition(c.position, c.length, range.Receive());
        ASSERT_EQ(hr, c.hr) << c.fromScript << " " << c.position;
        if (FAILED(hr))
            continue;
        ULONG start = 0, length = 0;
        EXPECT_EQ(doc->GetPositionOfContext(range.Get(), &start, &length), S_OK);
        EXPECT_EQ(std::make_pair(start, length), std::make_pair(c.pageStart, c.pageLength))
            << c.fromScript << " " << c.position;
    }
    EXPECT_EQ(engine->GetDocumentContextFromPosition(context, 1, 0, 1, nullptr), E_POINTER);
    CComPtr<IDebugDocumentContext> range;
    EXPECT_EQ(engine->GetDocumentContextFromPosition(context, 1, 0, 1, range.Receive()),
              E_INVALIDARG);
    EXPECT_EQ(engine->GetDocumentContextFromPosition(9, 0, 0, 1, range.Receive()), E_INVALIDARG);

    // Contexts that are not this document's own cannot be read.
    ULONG start = 0, length = 0;
    CComPtr<IDebugDocumentContext> mine;
    ASSERT_EQ(doc->GetContextOfPosition(11, 1, mine.Receive()), S_OK);
    EXPECT_EQ(doc->GetPositionOfContext(mine.Get(), nullptr, &length), E_POINTER);
    EXPECT_EQ(doc->GetPositionOfContext(nullptr, &start, &length), E_INVALIDARG);
    EXPECT_EQ(doc->GetPositionOfContext(MakeObject<CForeignContext>().Get(), &start, &length),
              E_INVALIDARG);
    CComPtr<CScriptEngine> other = MakeObject<CScriptEngine>();
    ASSERT_EQ(other->Init(&handler), S_OK);
    CComPtr<IDebugDocumentContext> theirs =
        MakeObject<CScriptDocContext>(other.Get(), 11, 1, 0, context, 0).Get();
    EXPECT_EQ(doc->GetPositionOfContext(theirs.Get(), &start, &length), E_INVALIDARG);
    EXPECT_EQ(other->Close(), S_OK);
    // The context's document is this one.
    CComPtr<IDebugDocument> owner;
    EXPECT_EQ(mine->GetDocument(owner.Receive()), S_OK);
    EXPECT_EQ(ComQuery<IDebugDocumentText>(owner.Get()).Get(), doc.Get());
}

TEST_F(ScriptDebugTest, CodeContextsOfAllAttachedEngines) {
    StartEngine(1);
    const DWORD context = AddPage();
    CComPtr<CFakeDebugEngine> first = MakeObject<CFakeDebugEngine>(2);
    CComPtr<CFakeDebugEngine> second = MakeObject<CFakeDebugEngine>(1);
    ASSERT_EQ(engine->AttachEngine(context, 0, 3, first.Get()), S_OK);
    ASSERT_EQ(engine->AttachEngine(context, 0, 5, second.Get()), S_OK);
    // An engine object without debugging support cannot be attached.
    CComPtr<IActiveScript> plain;
    ASSERT_EQ(CoCreateInstance(CLSID_JScript, nullptr, CLSCTX_ALL, IIDOf<IActiveScript>(),
                               plain.ReceiveVoid()),
              S_OK);
    EXPECT_EQ(engine->AttachEngine(context, 0, 6, plain.Get()), E_INVALIDARG);
    EXPECT_EQ(engine->AttachEngine(context, 4, 6, first.Get()), E_INVALIDARG);
    plain->Close();

    CComPtr<IDebugDocumentContext> range;
    ASSERT_EQ(Document(context)->GetContextOfPosition(21, 2, range.Receive()), S_OK);
    CComPtr<IEnumDebugCodeContexts> all;
    ASSERT_EQ(range->EnumCodeContexts(all.Receive()), S_OK);
    // Page 21 is script 9 of block 1, asked of each engine under its own cookie.
    EXPECT_EQ(std::make_pair(first->m_cookie, first->m_offset), std::make_pair(3u, 9u));
    EXPECT_EQ(std::make_pair(second->m_cookie, second->m_offset), std::make_pair(5u, 9u));

    IDebugCodeContext* got[4] = {};
    ULONG fetched = 0;
    EXPECT_EQ(all->Next(2, got, &fetched), S_OK);
    EXPECT_EQ(fetched, 2u);
    CComPtr<IEnumDebugCodeContexts> copy;
    ASSERT_EQ(all->Clone(copy.Receive()), S_OK);
    // Skipping exactly the rest: S_FALSE and at the end.
    EXPECT_EQ(all->Skip(1), S_FALSE);
    EXPECT_EQ(all->Next(1, got + 2, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    // The clone kept the index.
    EXPECT_EQ(copy->Next(4, got + 2, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    EXPECT_EQ(all->Reset(), S_OK);
    EXPECT_EQ(all->Skip(1), S_OK);
    EXPECT_EQ(all->Next(1, nullptr, &fetched), E_POINTER);
    for (IDebugCodeContext* c : got)
        if (c)
            c->Release();

    // The first failing engine fails the whole request.
    CComPtr<CFakeDebugEngine> failing = MakeObject<CFakeDebugEngine>(1, E_OUTOFMEMORY);
    ASSERT_EQ(engine->AttachEngine(context, 0, 4, failing.Get()), S_OK);
    all = nullptr;
    EXPECT_EQ(range->EnumCodeContexts(all.Receive()), E_OUTOFMEMORY);
    EXPECT_FALSE(all);
    EXPECT_EQ(engine->DetachEngine(context, 0, 4), S_OK);
    EXPECT_EQ(range->EnumCodeContexts(all.Receive()), S_OK);
    EXPECT_EQ(engine->EnumCodeContexts(context, 0, 2, 21, 1, all.Receive()), E_INVALIDARG);
}

// A script that holds the code of an included page as well as its own: contexts of the
// included stretch belong to the included page's document, and lead back to the engines
// attached to the including page's script.
TEST_F(ScriptDebugTest, IncludedCodeMapsToTheIncludedPage) {
    StartEngine(1);
    CComPtr<CTestPage> main = MakeObject<CTestPage>(u"/main.asp", u"<% a %>#<% c %>");
    CComPtr<CTestPage> include = MakeObject<CTestPage>(u"/inc.inc", u"0123<% bb %>");
    DWORD mainDoc = 0, includeDoc = 0;
    ASSERT_EQ(engine->AddScriptPage(main.Get(), nullptr, &mainDoc), S_OK);
    ASSERT_EQ(engine->AddScriptPage(include.Get(), main.Get(), &includeDoc), S_OK);
    // Script " a ; bb ; c ": 0..2 is main 2..4, 4..7 include 6..9, 9..11 main 10..12.
    ASSERT_EQ(engine->AddScript(BSTR(u"JScript"), BSTR(u" a ; bb ; c "), mainDoc,
                                {{0, 2, 3}, {4, 6, 4, includeDoc}, {9, 10, 3, mainDoc}}),
              S_OK);
    CComPtr<IDebugDocumentText> mainText = Document(mainDoc);
    CComPtr<IDebugDocumentText> includeText = Document(includeDoc);

    CComPtr<IDebugDocumentContext> range;
    ASSERT_EQ(engine->GetDocumentContextFromPosition(mainDoc, 0, 5, 2, range.Receive()), S_OK);
    ULONG start = 0, length = 0;
    EXPECT_EQ(includeText->GetPositionOfContext(range.Get(), &start, &length), S_OK);
    EXPECT_EQ(std::make_pair(start, length), std::make_pair(7u, 2u));
    EXPECT_EQ(mainText->GetPositionOfContext(range.Get(), &start, &length), E_INVALIDARG);
    CComPtr<IDebugDocument> owner;
    ASSERT_EQ(range->GetDocument(owner.Receive()), S_OK);
    EXPECT_EQ(ComQuery<IDebugDocumentText>(owner.Get()).Get(), includeText.Get());
    // After the include, the including page again.
    range = nullptr;
    ASSERT_EQ(engine->GetDocumentContextFromPosition(mainDoc, 0, 10, 1, range.Receive()), S_OK);
    EXPECT_EQ(mainText->GetPositionOfContext(range.Get(), &start, &length), S_OK);
    EXPECT_EQ(std::make_pair(start, length), std::make_pair(11u, 1u));

    // The included page's text is found in the including page's script, and its code
    // contexts come from the engines attached there.
    CComPtr<CFakeDebugEngine> attached = MakeObject<CFakeDebugEngine>(1);
    ASSERT_EQ(engine->AttachEngine(mainDoc, 0, 3, attached.Get()), S_OK);
    range = nullptr;
    ASSERT_EQ(includeText->GetContextOfPosition(2, 6, range.Receive()), S_OK);
    EXPECT_EQ(includeText->GetPositionOfContext(range.Get(), &start, &length), S_OK);
    EXPECT_EQ(std::make_pair(start, length), std::make_pair(6u, 2u));
    CComPtr<IEnumDebugCodeContexts> all;
    ASSERT_EQ(range->EnumCodeContexts(all.Receive()), S_OK);
    EXPECT_EQ(std::make_pair(attached->m_cookie, attached->m_offset), std::make_pair(3u, 4u));
    // Main page positions never land in the include's stretch.
    range = nullptr;
    ASSERT_EQ(mainText->GetContextOfPosition(5, 8, range.Receive()), S_OK);
    EXPECT_EQ(mainText->GetPositionOfContext(range.Get(), &start, &length), S_OK);
    EXPECT_EQ(std::make_pair(start, length), std::make_pair(10u, 3u));
    EXPECT_EQ(includeText->GetContextOfPosition(10, 1, range.Receive()), E_INVALIDARG);
}

// With debugging on, runs still work with engine objects that have no debugging
// support, and the site answers the debugger's questions about its script contexts.
TEST_F(ScriptDebugTest, RunsWithDebuggingOnAndSiteAnswersForContexts) {
    StartEngine(1);
    const DWORD context = AddPage();
    CComPtr<IScriptInstance> run;
    ASSERT_EQ(engine->Instantiate(run.Receive()), S_OK);
    EXPECT_EQ(run->Run(), S_OK);
    CComPtr<IActiveScriptSiteDebug32> site = ComQuery<IActiveScriptSiteDebug32>(run.Get());
    ASSERT_TRUE(site);
    CComPtr<IDebugDocumentContext> range;
    ASSERT_EQ(site->GetDocumentContextFromPosition(0, 8, 2, range.Receive()), S_OK);
    ULONG start = 0, length = 0;
    EXPECT_EQ(Document(context)->GetPositionOfContext(range.Get(), &start, &length), S_OK);
    EXPECT_EQ(std::make_pair(start, length), std::make_pair(20u, 2u));
    EXPECT_EQ(site->GetDocumentContextFromPosition(1, 0, 1, range.Receive()), E_INVALIDARG);
    EXPECT_EQ(site->GetDocumentContextFromPosition(0, 0, 1, nullptr), E_POINTER);
    BOOL enter = 0, callOnError = 0;
    EXPECT_EQ(site->OnScriptErrorDebug(nullptr, &enter, &callOnError), S_OK);
    EXPECT_TRUE(enter && callOnError);
    EXPECT_EQ(run->Close(), S_OK);
}
}  // namespace
