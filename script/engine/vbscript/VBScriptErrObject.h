// The Err object of a VBScript engine: the last run-time error and Raise / Clear.
//
// The machine fills it when an error is handled under On Error Resume Next and clears
// it on On Error GoTo 0 and on leaving a procedure; scripts read and set its fields.
// Raise reports its error through the thread's error record, so it reaches the machine
// the way a failing host call does.
#pragma once

#include <optional>

#include "com/DispatchTable.h"
#include "script/engine/vbscript/VBScriptRuntimeError.h"

class CVBScriptErrObject
    : public CComObjectRoot<CVBScriptErrObject, IDispatchImpl<CVBScriptErrObject>> {
public:
    static const CDispatchTable& GetDispatchTable();

    void Set(const VBScriptErrorRecord& record);
    void Reset();
    LONG Number() const { return m_lNumber; }

    HRESULT get_Number(LONG* pValue);
    HRESULT put_Number(LONG value);
    HRESULT get_Description(BSTR* pValue);
    HRESULT put_Description(BSTR value);
    HRESULT get_Source(BSTR* pValue);
    HRESULT put_Source(BSTR value);
    HRESULT get_HelpFile(BSTR* pValue);
    HRESULT put_HelpFile(BSTR value);
    HRESULT get_HelpContext(LONG* pValue);
    HRESULT put_HelpContext(LONG value);
    HRESULT Raise(LONG number, const VARIANT* source, const VARIANT* description,
                  const VARIANT* helpFile, const VARIANT* helpContext);
    HRESULT Clear();

private:
    LONG m_lNumber = 0;
    BSTR m_source = BSTR::Empty();
    BSTR m_description = BSTR::Empty();
    BSTR m_helpFile = BSTR::Empty();
    LONG m_lHelpContext = 0;
};
