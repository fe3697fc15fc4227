// Fuzz target: compiles and runs arbitrary script text in the VBScript engine. Every run
// ends after a bounded number of statements and loop turns, as an interrupt would end
// it; the only object is a harmless "Response" whose Write keeps a bounded amount of
// text. Errors, deep nesting, runaway recursion and huge allocations must end in script
// errors, never in a crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "com/DispatchTable.h"
#include "com/Strings.h"
#include "script/engine/vbscript/VBScriptEngine.h"
#include "script/engine/vbscript/VBScriptVM.h"
#include "script/engine/vbscript/library/VBScriptBuiltins.h"

namespace {

class CFuzzResponse : public CComObjectRoot<CFuzzResponse, IDispatchImpl<CFuzzResponse>> {
public:
    static const CDispatchTable& GetDispatchTable() {
        static const CDispatchTable table(u"IFuzzResponse",
                                          {
                                              DispMethod<&CFuzzResponse::Write>(u"Write", 1),
                                          });
        return table;
    }
    HRESULT Write(const VARIANT& value) {
        CComVariant text;
        if (SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR)) && m_written < (1u << 16))
            m_written += text.Text().size();
        return S_OK;
    }
    std::size_t m_written = 0;
};

class CFuzzSite : public CComObjectRoot<CFuzzSite, IActiveScriptSite> {
public:
    CFuzzSite() : m_response(MakeObject<CFuzzResponse>()) {}
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = 0x409;
        return S_OK;
    }
    HRESULT GetItemInfo(const BSTR& name, DWORD, IUnknown** ppiunkItem, ITypeInfo**) override {
        if (!EqualsNoCase(name.View(), u"Response") || !ppiunkItem)
            return TYPE_E_ELEMENTNOTFOUND;
        *ppiunkItem = static_cast<IDispatch*>(m_response.Get());
        (*ppiunkItem)->AddRef();
        return S_OK;
    }
    HRESULT GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
    HRESULT OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
    HRESULT OnStateChange(SCRIPTSTATE) override { return S_OK; }
    HRESULT OnScriptError(IActiveScriptError*) override { return S_OK; }
    HRESULT OnEnterScript() override { return S_OK; }
    HRESULT OnLeaveScript() override { return S_OK; }

    CComPtr<CFuzzResponse> m_response;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RegisterVBScriptLibraryClasses();
    CComPtr<CVBScriptEngine> engine = MakeObject<CVBScriptEngine>();
    CComPtr<CFuzzSite> site = MakeObject<CFuzzSite>();
    engine->SetScriptSite(site.Get());
    engine->InitNew();
    engine->AddNamedItem(BSTR(u"Response"), SCRIPTITEM_ISVISIBLE | SCRIPTITEM_GLOBALMEMBERS);
    engine->VM()->SetStepLimit(20000);
    BSTR code(Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size)));
    engine->ParseScriptText(code, BSTR(), nullptr, BSTR(), 0, 0, SCRIPTTEXT_ISPERSISTENT, nullptr,
                            nullptr);
    engine->SetScriptState(SCRIPTSTATE_CONNECTED);
    // Calls from the host after the run: the script dispatch with every global name.
    CComPtr<IDispatch> disp;
    if (SUCCEEDED(engine->GetScriptDispatch(BSTR(), disp.Receive())) && disp) {
        for (const char16_t* name : {u"Main", u"x", u"F"}) {
            DISPID id;
            if (SUCCEEDED(disp->GetIDsOfNames(GUID_NULL, &name, 1, 0x409, &id))) {
                CComVariant result;
                DISPPARAMS none{};
                disp->Invoke(id, GUID_NULL, 0x409, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                             &result, nullptr, nullptr);
            }
        }
    }
    engine->Close();
    return 0;
}
