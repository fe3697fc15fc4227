// The VBScript virtual machine: calls on objects (members of script classes, dispatch
// calls on host objects, built-in functions) and the calls that come in from outside
// (a host or another engine calling a member, a global, a procedure). See VBScriptVM.h.
#include <typeinfo>

#include "com/DiagnosticLog.h"
#include "com/SafeArray.h"
#include "com/Strings.h"
#include "script/engine/vbscript/VBScriptErrObject.h"
#include "script/engine/vbscript/VBScriptObject.h"
#include "script/engine/vbscript/VBScriptVM.h"

bool CVBScriptVM::IsItemObject(IDispatch* object) const {
    for (const NamedItem& item : m_items)
        if (item.object.Get() == object)
            return true;
    return false;
}

HRESULT CVBScriptVM::CallMember(VARIANT* object, Activation* activation, int nameIndex, WORD wFlags,
                                VARIANT* args, unsigned argc, VARIANT* pResult) {
    const CVBScriptProgram* program = activation->program.get();
    VARIANT* o = Deref(object);
    const std::u16string& name = program->globalNames[nameIndex];
    if (o->vt != VT_DISPATCH || !o->pdispVal)
        return Fail(424);
    // A value on the operand stack keeps its object alive for the call; a variable
    // reached by reference might not.
    CComPtr<IDispatch> keep;
    if (o != object)
        keep = o->pdispVal;
    IDispatch* obj = o->pdispVal;
    MemberCache& cache = activation->members[nameIndex];
    // A named item's object met here before (its key is never a script class).
    if (cache.key == obj && cache.generation == m_generation)
        return Dispatch(obj, cache.dispid, wFlags, args, argc, pResult);
    // An instance of a script class (the class is final: its type alone tells, which is
    // cheaper than a cast that searches a host object's bases).
    if (typeid(*obj) == typeid(CVBScriptObject)) {
        auto* so = static_cast<CVBScriptObject*>(obj);
        const VBSClass* cls = &so->Class();
        int m;
        if (cache.key == cls) {
            m = cache.member;
        } else {
            m = so->FindMember(program->globalKeys[nameIndex]);
            if (m < 0)
                return Fail(438, name);
            cache = {cls, 0, m, DISPID_UNKNOWN};
        }
        return MemberCall(so, m, wFlags, args, argc, pResult);
    }
    DISPID id;
    if (cache.key == obj && cache.generation == m_generation) {
        id = cache.dispid;
    } else {
        const char16_t* names = name.c_str();
        if (FAILED(obj->GetIDsOfNames(GUID_NULL, &names, 1, m_builtin.lcid, &id)))
            return Fail(438, name);
        if (IsItemObject(obj))
            cache = {obj, m_generation, -1, id};
    }
    return Dispatch(obj, id, wFlags, args, argc, pResult);
}

HRESULT CVBScriptVM::MemberCall(CVBScriptObject* me, int member, WORD wFlags, VARIANT* args,
                                unsigned argc, VARIANT* pResult) {
    const VBSClass& cls = me->Class();
    int vars = static_cast<int>(cls.vars.size());
    bool put = (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (member < vars) {
        VARIANT* slot = me->Member(member);
        if (put) {
            if (argc == 0)
                return Fail(450);
            bool isSet = (wFlags & DISPATCH_PROPERTYPUTREF) != 0;
            if (argc == 1)
                return Assign(slot, &args[0], isSet, false);
            return StoreValue(slot, args, argc - 1, &args[argc - 1], isSet);
        }
        if (!pResult && argc == 0)
            return S_OK;
        CComVariant scratch;
        return CallValue(slot, args, argc, pResult ? pResult : &scratch);
    }
    const VBSClassProc& proc = cls.procs[member - vars];
    int fn = proc.get;
    if (wFlags & DISPATCH_PROPERTYPUTREF)
        fn = proc.set >= 0 ? proc.set : proc.let;
    else if (wFlags & DISPATCH_PROPERTYPUT)
        fn = proc.let >= 0 ? proc.let : proc.set;
    if (fn < 0)
        return Fail(put ? 450 : 438, proc.name);
    const VBSFunction& function = me->Program()->functions[fn];
    if (!put && argc > 0 && function.byRef.empty()) {
        // p.Items(1) where Items takes no arguments: the arguments index its value.
        CComVariant value;
        HRESULT hr = CallFunction(me->Program(), function, me, nullptr, 0, &value);
        if (FAILED(hr))
            return hr;
        CComVariant scratch;
        return CallValue(&value, args, argc, pResult ? pResult : &scratch);
    }
    return CallFunction(me->Program(), function, me, args, argc, pResult);
}

HRESULT CVBScriptVM::Dispatch(IDispatch* object, DISPID id, WORD wFlags, VARIANT* args,
                              unsigned argc, VARIANT* pResult) {
    if (!object)
        return Fail(424);
    VARIANT local[16];
    std::vector<VARIANT> heap;
    VARIANT* rgvarg = local;
    if (argc > 16) {
        heap.resize(argc);
        rgvarg = heap.data();
    }
    for (unsigned i = 0; i < argc; ++i)
        rgvarg[i] = args[argc - 1 - i];
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = rgvarg;
    params.cArgs = argc;
    if (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &named;
        params.cNamedArgs = 1;
    }
    EXCEPINFO excepInfo;
    Temp result;
    UINT argErr = 0;
    HRESULT hr = object->Invoke(id, GUID_NULL, m_builtin.lcid, wFlags, &params, &result, &excepInfo,
                                &argErr);
    if (m_interrupt.load(std::memory_order_relaxed))
        return VBS_E_INTERRUPTED;
    if (hr == DISP_E_BADPARAMCOUNT && argc > 0 && id != DISPID_VALUE &&
        (wFlags & DISPATCH_PROPERTYGET)) {
        // m.SubMatches(0): a property without arguments, its value indexed by them.
        CComVariant value;
        DISPPARAMS none{};
        excepInfo = EXCEPINFO();
        hr = object->Invoke(id, GUID_NULL, m_builtin.lcid, DISPATCH_PROPERTYGET, &none, &value,
                            &excepInfo, &argErr);
        if (m_interrupt.load(std::memory_order_relaxed))
            return VBS_E_INTERRUPTED;
        if (SUCCEEDED(hr)) {
            CComVariant scratch;
            return CallValue(&value, args, argc, pResult ? pResult : &scratch);
        }
    }
    if (FAILED(hr))
        return RecordFailure(hr, &excepInfo);
    if (pResult) {
        ClearValue(pResult);
        result.MoveTo(pResult);
    }
    return S_OK;
}

HRESULT CVBScriptVM::CallBuiltin(const VBBuiltin& builtin, VARIANT* args, unsigned argc,
                                 VARIANT* pResult) {
    if (argc < builtin.minArgs || argc > builtin.maxArgs)
        return Fail(450, builtin.name);
    // The functions only read their arguments: they get the operand stack's values
    // themselves (temporaries, popped after the call), not copies. An argument that refers
    // to a variable is read where it is, as long as no argument is an object (whose
    // default property could run script code that changes the variable meanwhile) or an
    // array; otherwise it becomes a copy of the variable's value first.
    constexpr unsigned kViewArgs = 8;
    VARIANT view[kViewArgs];
    const VARIANT* values = args;
    bool byRef = false, readInPlace = argc <= kViewArgs;
    for (unsigned i = 0; i < argc; ++i) {
        const VARTYPE vt = Deref(&args[i])->vt;
        byRef = byRef || (args[i].vt & VT_BYREF) != 0;
        if (vt == VT_DISPATCH || vt == VT_UNKNOWN || (vt & VT_BYREF))
            readInPlace = false;
    }
    SAFEARRAY* locked[kViewArgs];
    unsigned nLocked = 0;
    if (byRef && readInPlace) {
        for (unsigned i = 0; i < argc; ++i) {
            view[i] = *Deref(&args[i]);
            if ((args[i].vt & VT_BYREF) && (view[i].vt & VT_ARRAY) && view[i].parray &&
                SUCCEEDED(SafeArrayLock(view[i].parray)))
                locked[nLocked++] = view[i].parray;
        }
        values = view;
    } else if (byRef) {
        for (unsigned i = 0; i < argc; ++i) {
            if (!(args[i].vt & VT_BYREF))
                continue;
            VARIANT value;
            VariantInit(&value);
            const HRESULT hr = VariantCopyInd(&value, Deref(&args[i]));
            if (FAILED(hr))
                return RecordFailure(hr, nullptr);
            args[i] = value;  // a reference owns nothing
        }
    }
    Temp result;
    HRESULT hr = builtin.fn(m_builtin, values, argc, &result);
    while (nLocked > 0)
        SafeArrayUnlock(locked[--nLocked]);
    if (FAILED(hr))
        return RecordFailure(hr, nullptr);
    if (pResult) {
        ClearValue(pResult);
        result.MoveTo(pResult);
    }
    return S_OK;
}

void CVBScriptVM::RunTerminate(CVBScriptObject* me) {
    if (m_closed)
        return;
    bool outermost;
    if (FAILED(Enter(&outermost)))
        return;
    // An error on its way out must survive the terminating code of an object it releases.
    VBScriptErrorRecord saved = m_error;
    bool recorded = m_errorRecorded;
    const CVBScriptProgram* program = m_errorProgram;
    ULONG line = m_errorLine, character = m_errorCharacter;
    m_errorRecorded = false;
    m_errorProgram = nullptr;
    const VBSClass& cls = me->Class();
    CallFunction(me->Program(), me->Program()->functions[cls.terminate], me, nullptr, 0, nullptr);
    m_error = saved;
    m_errorRecorded = recorded;
    m_errorProgram = program;
    m_errorLine = line;
    m_errorCharacter = character;
    if (outermost) {
        m_interrupt.store(false, std::memory_order_relaxed);
        m_running.store(false, std::memory_order_relaxed);
        m_errorRecorded = false;
    }
}

HRESULT CVBScriptVM::FinishOuterCall(HRESULT hr, bool outermost, EXCEPINFO* pExcepInfo) {
    if (hr == VBS_E_INTERRUPTED)
        hr = S_OK;
    if (SUCCEEDED(hr))
        return hr;
    if (!m_errorRecorded)
        RecordFailure(hr, nullptr);
    if (pExcepInfo) {
        *pExcepInfo = EXCEPINFO();
        pExcepInfo->bstrSource = m_error.source;
        pExcepInfo->bstrDescription = m_error.description;
        pExcepInfo->scode = m_error.Result();
    }
    if (outermost && m_onError)
        m_onError();
    return DISP_E_EXCEPTION;
}

HRESULT CVBScriptVM::InvokeMember(CVBScriptObject* me, int member, WORD wFlags, VARIANT* args,
                                  unsigned argc, VARIANT* pResult, EXCEPINFO* pExcepInfo) {
    bool outermost;
    HRESULT hr = Enter(&outermost);
    if (FAILED(hr))
        return hr;
    hr =
        FinishOuterCall(MemberCall(me, member, wFlags, args, argc, pResult), outermost, pExcepInfo);
    Leave(outermost);
    return hr;
}

HRESULT CVBScriptVM::GlobalDispId(std::u16string_view name, DISPID* pId) {
    const GlobalEntry* e = FindGlobal(ToUpperSimple(name));
    if (!e || e->dispid <= 0)
        return DISP_E_UNKNOWNNAME;
    *pId = e->dispid;
    return S_OK;
}

HRESULT CVBScriptVM::InvokeGlobal(DISPID id, WORD wFlags, DISPPARAMS* pParams, VARIANT* pResult,
                                  EXCEPINFO* pExcepInfo) {
    const std::u16string* name = DispName(id);
    if (!name)
        return DISP_E_MEMBERNOTFOUND;
    const GlobalEntry* e = FindGlobal(*name);
    if (!e)
        return DISP_E_MEMBERNOTFOUND;
    UINT argc = pParams ? pParams->cArgs : 0;
    // A host call with the wrong number of arguments is the caller's fault: it gets the
    // status, and no script error is raised or reported.
    if (CheckExpression(e->kind == BindKind::Function &&
                        argc != e->program->functions[e->index].byRef.size()))
        return DISP_E_BADPARAMCOUNT;
    std::vector<VARIANT> args(argc);
    for (UINT i = 0; i < argc; ++i)
        args[i] = pParams->rgvarg[argc - 1 - i];
    bool outermost;
    HRESULT hr = Enter(&outermost);
    if (FAILED(hr))
        return hr;
    if (e->kind == BindKind::Function) {
        hr = CallFunction(e->program, e->program->functions[e->index], nullptr, args.data(), argc,
                          pResult);
    } else if (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        hr = argc == 1 && e->kind == BindKind::Var
                 ? Assign(SlotVar(*e), &args[0], (wFlags & DISPATCH_PROPERTYPUTREF) != 0, false)
                 : Fail(450);
    } else {
        CComVariant scratch;
        hr = CallValue(SlotVar(*e), args.data(), argc, pResult ? pResult : &scratch);
    }
    hr = FinishOuterCall(hr, outermost, pExcepInfo);
    Leave(outermost);
    return hr;
}
