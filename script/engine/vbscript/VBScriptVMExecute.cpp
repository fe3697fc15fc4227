// The VBScript virtual machine: code compiled at run time (Eval, Execute, ExecuteGlobal)
// and function references (GetRef). See VBScriptVM.h.
//
// Execute and Eval run in the scope of the code that calls them: the compiler is given
// the names the calling procedure declares, and its local variables reach the new code
// as by-reference parameters of the new global code, so assignments land in the
// caller's frame. Procedures and classes that the text declares become global. Text
// that declares nothing lasting is dropped once it has run, so a loop of Eval calls
// does not pile up programs. An error in the text (also a syntax error, with the
// compiler's number) is placed at the statement that ran it.
#include "com/DiagnosticLog.h"
#include "com/Strings.h"
#include "script/engine/vbscript/VBScriptCompiler.h"
#include "script/engine/vbscript/VBScriptFunctionRef.h"
#include "script/engine/vbscript/VBScriptObject.h"
#include "script/engine/vbscript/VBScriptParser.h"
#include "script/engine/vbscript/VBScriptVM.h"

namespace {

constexpr std::u16string_view INTRINSIC_NAMES[] = {u"Eval", u"Execute", u"ExecuteGlobal",
                                                   u"GetRef"};

}  // namespace

HRESULT CVBScriptVM::CallIntrinsic(Frame& frame, int which, VARIANT* args, unsigned argc,
                                   VARIANT* pResult) {
    if (argc != 1)
        return Fail(450, INTRINSIC_NAMES[which]);
    CComVariant value;
    HRESULT hr = VariantCopyInd(&value, Deref(&args[0]));
    if (FAILED(hr))
        return RecordFailure(hr, nullptr);
    hr = ValueOf(&value);
    if (FAILED(hr))
        return hr;
    if (value.vt == VT_NULL)
        return Fail(94);
    CComVariant text;
    if (FAILED(VariantChangeTypeEx(&text, &value, m_builtin.lcid, 0, VT_BSTR)))
        return Fail(13);
    std::u16string view(text.Text());
    if (which == GetRef)
        return MakeFunctionRef(view, pResult);
    return RunText(frame, which, view, pResult);
}

HRESULT CVBScriptVM::MakeFunctionRef(std::u16string_view name, VARIANT* pResult) {
    const GlobalEntry* e = FindGlobal(ToUpperSimple(name));
    if (!e || e->kind != BindKind::Function)
        return Fail(5);
    Activation* activation = ActivationOf(e->program);
    if (!activation)
        return E_UNEXPECTED;
    HRESULT hr = S_OK;
    CComPtr<CVBScriptFunctionRef> ref =
        MakeObject<CVBScriptFunctionRef>(&hr, shared_from_this(), activation->program, e->index);
    if (!ref)
        return Fail(7);
    if (pResult) {
        VariantClear(pResult);
        pResult->vt = VT_DISPATCH;
        pResult->pdispVal = ref.Detach();
    }
    return S_OK;
}

HRESULT CVBScriptVM::RunText(Frame& frame, int which, std::u16string_view text, VARIANT* pResult) {
    CVBScriptAst ast;
    CVBScriptCompileError error;
    HRESULT hr = which == Eval ? CVBScriptParser::ParseExpression(text, ast, error)
                               : CVBScriptParser::ParseProgram(text, ast, error);
    if (hr == E_OUTOFMEMORY)
        return Fail(7);
    if (FAILED(hr)) {
        m_error = VBScriptErrorRecord();
        m_error.lNumber = error.m_lNumber;
        m_error.source = error.Source();
        m_error.description = error.Description();
        m_errorRecorded = true;
        m_errorProgram = nullptr;
        return m_error.Result();
    }

    // The caller's names: its locals first (they hide members of Me of the same name).
    std::vector<VBSOuterName> outer;
    std::vector<VARIANT> refs;
    if (which != ExecuteGlobal) {
        for (const VBSLocalName& local : frame.fn->locals) {
            VBSOuterName name;
            name.upper = local.upper;
            if (local.slot >= 0) {
                VARIANT ref;
                ref.vt = VT_BYREF | VT_VARIANT;
                ref.pvarVal = Deref(&frame.slots[local.slot]);
                refs.push_back(ref);
            } else {
                name.isConstant = true;
                name.constant = frame.program->constants[local.constant];
            }
            outer.push_back(std::move(name));
        }
        if (frame.me) {
            const VBSClass& cls = frame.me->Class();
            int vars = static_cast<int>(cls.vars.size());
            for (const auto& [upper, member] : cls.members) {
                VBSOuterName name;
                name.upper = upper;
                name.kind = member < vars ? VBSRefKind::MemberVar : VBSRefKind::MemberProc;
                name.index = member < vars ? member : member - vars;
                outer.push_back(std::move(name));
            }
        }
    }

    auto program = std::make_shared<CVBScriptProgram>();
    program->text = text;
    program->cookie = frame.program->cookie;
    program->startLine = frame.program->startLine;
    hr = CVBScriptCompiler::Compile(ast, which == Eval, *program, outer.empty() ? nullptr : &outer);
    if (FAILED(hr))
        return Fail(7);
    program->isTransient =
        program->functions.size() == 1 && program->classes.empty() && program->globals.empty();
    hr = AddProgram(program);
    if (FAILED(hr))
        return Fail(7);

    CComVariant result;
    hr = CallFunction(program.get(), program->functions[0],
                      which == ExecuteGlobal ? nullptr : frame.me, refs.data(),
                      static_cast<unsigned>(refs.size()), which == Eval ? &result : nullptr);
    if (FAILED(hr))
        m_errorProgram = nullptr;  // placed at the statement that ran the text
    if (program->isTransient && !m_programs.empty() && m_programs.back().program == program) {
        if (m_lastActivation == &m_programs.back())
            m_lastActivation = nullptr;
        m_programs.pop_back();
    }
    if (FAILED(hr))
        return hr;
    if (which == Eval && pResult) {
        VariantClear(pResult);
        result.Detach(pResult);
    }
    return S_OK;
}

HRESULT CVBScriptVM::InvokeFunction(const VBSProgramPtr& program, int fn, DISPPARAMS* pParams,
                                    VARIANT* pResult, EXCEPINFO* pExcepInfo) {
    // Named arguments (a caller's DISPID_THIS) come first in rgvarg; only the positional
    // ones reach the procedure.
    UINT named = pParams ? pParams->cNamedArgs : 0;
    UINT argc = pParams ? pParams->cArgs - std::min(named, pParams->cArgs) : 0;
    std::vector<VARIANT> args(argc);
    for (UINT i = 0; i < argc; ++i)
        args[i] = pParams->rgvarg[pParams->cArgs - 1 - i];
    bool outermost;
    HRESULT hr = Enter(&outermost);
    if (FAILED(hr))
        return hr;
    if (!ActivationOf(program.get()))
        hr = Fail(5);
    else
        hr = CallFunction(program.get(), program->functions[fn], nullptr, args.data(), argc,
                          pResult);
    hr = FinishOuterCall(hr, outermost, pExcepInfo);
    Leave(outermost);
    return hr;
}
