// Run-time error texts and the mapping of failed calls. See VBScriptRuntimeError.h.
#include "script/engine/vbscript/VBScriptRuntimeError.h"

#include "com/ErrorInfo.h"

namespace {

struct RuntimeErrorText {
    LONG lNumber;
    const char16_t* pszText;
};

constexpr RuntimeErrorText s_texts[] = {
    {5, u"Invalid procedure call or argument"},
    {6, u"Overflow"},
    {7, u"Out of memory"},
    {9, u"Subscript out of range"},
    {10, u"This array is fixed or temporarily locked"},
    {11, u"Division by zero"},
    {13, u"Type mismatch"},
    {14, u"Out of string space"},
    {28, u"Out of stack space"},
    {35, u"Sub or Function not defined"},
    {48, u"Error in loading DLL"},
    {51, u"Internal error"},
    {52, u"Bad file name or number"},
    {53, u"File not found"},
    {70, u"Permission denied"},
    {91, u"Object variable not set"},
    {92, u"For loop not initialized"},
    {94, u"Invalid use of Null"},
    {424, u"Object required"},
    {429, u"ActiveX component can't create object"},
    {430, u"Class doesn't support Automation"},
    {438, u"Object doesn't support this property or method"},
    {440, u"Automation error"},
    {445, u"Object doesn't support this action"},
    {446, u"Object doesn't support named arguments"},
    {449, u"Argument not optional"},
    {450, u"Wrong number of arguments or invalid property assignment"},
    {451, u"Object not a collection"},
    {457, u"This key is already associated with an element of this collection"},
    {458, u"Variable uses an Automation type not supported in VBScript"},
    {462, u"The remote server machine does not exist or is unavailable"},
    {500, u"Variable is undefined"},
    {501, u"Illegal assignment"},
    {502, u"Object not safe for scripting"},
    {503, u"Object not safe for initializing"},
    {505, u"Invalid or unqualified reference"},
    {506, u"Class not defined"},
    {507, u"An exception occurred"},
    {5017, u"Syntax error in regular expression"},
    {5018, u"Unexpected quantifier"},
    {5019, u"Expected ']' in regular expression"},
    {5020, u"Expected ')' in regular expression"},
    {5021, u"Invalid range in character set"},
    {32811, u"Element not found"},
};

struct ResultMapping {
    HRESULT hr;
    LONG lNumber;
};

constexpr ResultMapping s_results[] = {
    {E_ACCESSDENIED, 70},
    {E_INVALIDARG, 5},
    {DISP_E_TYPEMISMATCH, 13},
    {DISP_E_UNKNOWNNAME, 438},
    {DISP_E_MEMBERNOTFOUND, 438},
    {DISP_E_BADPARAMCOUNT, 450},
    {E_OUTOFMEMORY, 7},
    {DISP_E_OVERFLOW, 6},
    {DISP_E_DIVBYZERO, 11},
    {DISP_E_BADINDEX, 9},
    {DISP_E_ARRAYISLOCKED, 10},
    {DISP_E_PARAMNOTOPTIONAL, 449},
    {DISP_E_NOTACOLLECTION, 451},
    {DISP_E_BADVARTYPE, 458},
    {REGDB_E_CLASSNOTREG, 429},
    {CO_E_CLASSSTRING, 429},
    {CLASS_E_CLASSNOTAVAILABLE, 429},
};

bool IsTableResult(HRESULT hr) {
    for (const ResultMapping& m : s_results)
        if (m.hr == hr)
            return true;
    return false;
}

LONG NumberOfResult(HRESULT hr) {
    if ((static_cast<std::uint32_t>(hr) & 0xFFFF0000u) == 0x800A0000u)
        return HRESULT_CODE(hr);
    for (const ResultMapping& m : s_results)
        if (m.hr == hr)
            return m.lNumber;
    return hr;
}

}  // namespace

std::u16string VBScriptRuntimeErrorText(LONG lNumber) {
    for (const RuntimeErrorText& t : s_texts)
        if (t.lNumber == lNumber)
            return t.pszText;
    return u"Unknown runtime error";
}

HRESULT VBScriptErrorRecord::Result() const {
    if (lNumber > 0 && lNumber <= 0xFFFF)
        return MakeHResult(0x800A0000u | static_cast<std::uint32_t>(lNumber));
    return lNumber;
}

VBScriptErrorRecord VBScriptErrorFromResult(HRESULT hr, EXCEPINFO* pExcepInfo) {
    VBScriptErrorRecord record;
    if (hr == DISP_E_EXCEPTION && pExcepInfo) {
        if (pExcepInfo->pfnDeferredFillIn) {
            pExcepInfo->pfnDeferredFillIn(pExcepInfo);
            pExcepInfo->pfnDeferredFillIn = nullptr;
        }
        HRESULT scode = pExcepInfo->scode;
        if (scode == 0 && pExcepInfo->wCode != 0)
            scode = MakeHResult(0x800A0000u | pExcepInfo->wCode);
        if (scode == 0)
            scode = E_FAIL;
        record.lNumber = NumberOfResult(scode);
        // The fixed table speaks the language's own words; anything else keeps the
        // object's account of what happened.
        if (!IsTableResult(scode)) {
            record.source = pExcepInfo->bstrSource;
            record.description = pExcepInfo->bstrDescription;
        }
    } else {
        record.lNumber = NumberOfResult(hr);
        if (record.lNumber == hr) {
            CComPtr<IErrorInfo> info;
            if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
                info->GetDescription(&record.description);
                info->GetSource(&record.source);
            }
            if (record.description.Length() == 0)
                record.description = BSTR::FromUtf8(ErrorText(hr));
        }
    }
    if (record.source.Length() == 0)
        record.source = VBSCRIPT_RUNTIME_ERROR_SOURCE;
    if (record.description.Length() == 0)
        record.description = VBScriptRuntimeErrorText(record.lNumber);
    return record;
}
