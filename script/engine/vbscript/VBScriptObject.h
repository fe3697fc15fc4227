// An instance of a VBScript class, as an IDispatch.
//
// Scripts reach the members of their own instances through this interface like any
// other object's, and so can hosts and other engines. Its type information names the
// class, so TypeName gives the class name. Class_Terminate runs when the last
// reference goes: through a second wrapper over the same member storage, so the
// terminating code can use Me without the count of the dying object.
#pragma once

#include <memory>

#include "com/CComVariant.h"
#include "com/Dispatch.h"
#include "script/engine/vbscript/VBScriptProgram.h"

class CVBScriptVM;

class CVBScriptObject final : public CComObjectRoot<CVBScriptObject, IDispatch> {
public:
    CVBScriptObject(std::shared_ptr<CVBScriptVM> vm, VBSProgramPtr program, int classIndex,
                    std::shared_ptr<CComVariant[]> members, bool terminated)
        : m_vm(std::move(vm)),
          m_program(std::move(program)),
          m_classIndex(classIndex),
          m_members(std::move(members)),
          m_terminated(terminated) {}

    const CVBScriptProgram* Program() const { return m_program.get(); }
    const VBSProgramPtr& ProgramPtr() const { return m_program; }
    const VBSClass& Class() const { return m_program->classes[m_classIndex]; }
    int ClassIndex() const { return m_classIndex; }
    VARIANT* Member(int i) { return &m_members[i]; }
    const std::shared_ptr<CComVariant[]>& Members() const { return m_members; }
    // The public member of that upper-cased name, or -1.
    int FindMember(const std::u16string& upperName) const;
    void MarkTerminated() { m_terminated = true; }

    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(const IID& riid, const char16_t** rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, const IID& riid, LCID lcid, WORD wFlags,
                   DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                   UINT* puArgErr) override;

    void FinalRelease();

private:
    std::shared_ptr<CVBScriptVM> m_vm;
    VBSProgramPtr m_program;
    int m_classIndex;
    std::shared_ptr<CComVariant[]> m_members;
    bool m_terminated;
};
