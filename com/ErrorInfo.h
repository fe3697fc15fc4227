// Error information: the source, description and status of the last failed call on
// this thread, as COM's SetErrorInfo/GetErrorInfo keep it.
//
// A failing operation that has more to say than its HRESULT records a CErrorInfo with
// `SetErrorInfo` (or the `ReportError` shortcut) before it returns; the dispatch layer
// moves it into the caller's EXCEPINFO, and a script engine reads it to build its error
// message. `GetErrorInfo` hands the record over and clears it, so a stale record never
// describes a later failure.
#pragma once

#include "com/Bstr.h"
#include "com/Unknown.h"

struct IErrorInfo : IUnknown {
    DECLARE_IID("{1CF2B120-547D-101B-8E65-08002B2BD119}");
    virtual HRESULT GetGUID(GUID* pGUID) = 0;
    virtual HRESULT GetSource(BSTR* pBstrSource) = 0;
    virtual HRESULT GetDescription(BSTR* pBstrDescription) = 0;
    virtual HRESULT GetHelpFile(BSTR* pBstrHelpFile) = 0;
    virtual HRESULT GetHelpContext(DWORD* pdwHelpContext) = 0;
};

// The program's error record: IErrorInfo plus the status it describes.
class CErrorInfo : public CComObjectRoot<CErrorInfo, IErrorInfo> {
public:
    CErrorInfo(HRESULT hr, BSTR source, BSTR description, GUID iid = GUID_NULL)
        : m_hr(hr),
          m_source(std::move(source)),
          m_description(std::move(description)),
          m_iid(iid) {}

    HRESULT GetGUID(GUID* pGUID) override;
    HRESULT GetSource(BSTR* pBstrSource) override;
    HRESULT GetDescription(BSTR* pBstrDescription) override;
    HRESULT GetHelpFile(BSTR* pBstrHelpFile) override;
    HRESULT GetHelpContext(DWORD* pdwHelpContext) override;

    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
    BSTR m_source;
    BSTR m_description;
    GUID m_iid;
};

// Sets (or, with null, clears) this thread's error record. `dwReserved` must be 0.
HRESULT SetErrorInfo(DWORD dwReserved, IErrorInfo* perrinfo);
// Takes this thread's error record: S_FALSE and null when there is none.
HRESULT GetErrorInfo(DWORD dwReserved, IErrorInfo** pperrinfo);

// Records an error for this thread and returns `hr`, for `return ReportError(...)`.
HRESULT ReportError(HRESULT hr, std::u16string_view source, std::u16string_view description);
