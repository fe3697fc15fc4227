// The Err object. See VBScriptErrObject.h.
#include "script/engine/vbscript/VBScriptErrObject.h"

#include "com/ErrorInfo.h"

const CDispatchTable& CVBScriptErrObject::GetDispatchTable() {
    using C = CVBScriptErrObject;
    static const CDispatchTable table(u"ErrObject",
                                      {
                                          DispGet<&C::get_Number>(u"Number", DISPID_VALUE),
                                          DispPut<&C::put_Number>(u"Number", DISPID_VALUE),
                                          DispGet<&C::get_Description>(u"Description", 1),
                                          DispPut<&C::put_Description>(u"Description", 1),
                                          DispGet<&C::get_Source>(u"Source", 2),
                                          DispPut<&C::put_Source>(u"Source", 2),
                                          DispGet<&C::get_HelpFile>(u"HelpFile", 3),
                                          DispPut<&C::put_HelpFile>(u"HelpFile", 3),
                                          DispGet<&C::get_HelpContext>(u"HelpContext", 4),
                                          DispPut<&C::put_HelpContext>(u"HelpContext", 4),
                                          DispMethod<&C::Raise>(u"Raise", 5),
                                          DispMethod<&C::Clear>(u"Clear", 6),
                                      });
    return table;
}

void CVBScriptErrObject::Set(const VBScriptErrorRecord& record) {
    m_lNumber = record.lNumber;
    m_source = record.source;
    m_description = record.description;
    m_helpFile = BSTR::Empty();
    m_lHelpContext = 0;
}

void CVBScriptErrObject::Reset() {
    m_lNumber = 0;
    m_source = BSTR::Empty();
    m_description = BSTR::Empty();
    m_helpFile = BSTR::Empty();
    m_lHelpContext = 0;
}

HRESULT CVBScriptErrObject::get_Number(LONG* pValue) {
    *pValue = m_lNumber;
    return S_OK;
}
HRESULT CVBScriptErrObject::put_Number(LONG value) {
    m_lNumber = value;
    return S_OK;
}
HRESULT CVBScriptErrObject::get_Description(BSTR* pValue) {
    *pValue = m_description;
    return S_OK;
}
HRESULT CVBScriptErrObject::put_Description(BSTR value) {
    m_description = std::move(value);
    return S_OK;
}
HRESULT CVBScriptErrObject::get_Source(BSTR* pValue) {
    *pValue = m_source;
    return S_OK;
}
HRESULT CVBScriptErrObject::put_Source(BSTR value) {
    m_source = std::move(value);
    return S_OK;
}
HRESULT CVBScriptErrObject::get_HelpFile(BSTR* pValue) {
    *pValue = m_helpFile;
    return S_OK;
}
HRESULT CVBScriptErrObject::put_HelpFile(BSTR value) {
    m_helpFile = std::move(value);
    return S_OK;
}
HRESULT CVBScriptErrObject::get_HelpContext(LONG* pValue) {
    *pValue = m_lHelpContext;
    return S_OK;
}
HRESULT CVBScriptErrObject::put_HelpContext(LONG value) {
    m_lHelpContext = value;
    return S_OK;
}

// The raised error travels as the thread's error record, like any object's failure.
HRESULT CVBScriptErrObject::Raise(LONG number, const VARIANT* source, const VARIANT* description,
                                  const VARIANT*, const VARIANT*) {
    while (source && source->vt == (VT_BYREF | VT_VARIANT))
        source = source->pvarVal;
    while (description && description->vt == (VT_BYREF | VT_VARIANT))
        description = description->pvarVal;
    if (number == 0)
        number = 5;
    std::u16string_view src =
        source && source->vt == VT_BSTR ? VariantText(*source) : VBSCRIPT_RUNTIME_ERROR_SOURCE;
    std::u16string text;
    if (description && description->vt == VT_BSTR)
        text = VariantText(*description);
    else if (number > 0 && number <= 0xFFFF)
        text = VBScriptRuntimeErrorText(number);
    HRESULT hr = number > 0 && number <= 0xFFFF
                     ? MakeHResult(0x800A0000u | static_cast<std::uint32_t>(number))
                     : number;
    return ReportError(hr, src, text);
}

HRESULT CVBScriptErrObject::Clear() {
    Reset();
    return S_OK;
}
