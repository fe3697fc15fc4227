// The page interfaces: `IPage`, which every stored page answers (text pages and plain
// files alike), and `ITextPage`, the line and position queries of text pages.
//
// A page is filled once from its stored parts (`Load`) and read-only afterwards; the
// site compiler uses `Compile` on a fresh page to produce the line table of new text.
// Line numbers and character positions are unsigned 32-bit and count from 0; a
// character is one UTF-16 code unit, two bytes of the data stream.
#pragma once

#include "cfb/StorageInterfaces.h"
#include "com/Bstr.h"
#include "com/Unknown.h"

struct IApplication;

struct IPage : IUnknown {
    DECLARE_IID("{D03096E9-AB1C-431C-85B8-F18325D4C8FE}");
    // Builds the line table of the text in pData and appends it to pMetaInfo.
    virtual HRESULT Compile(IStream* pMetaInfo, IStream* pData) = 0;
    // Fills the page from its record (positioned after the code page; may be null) and
    // its data stream.
    virtual HRESULT Load(LCID lcid, IStream* pMetaStream, IStream* pStream, BSTR bstrFullName,
                         BSTR bstrMimeType, const CLSID& clsidEntityType, LONG nCodePage) = 0;
    // Creates and initialises the entity that runs this page.
    virtual HRESULT CreateEntity(const IID& riid, IApplication* pApp, IUnknown** ppEntity) = 0;
    virtual HRESULT GetDataStream(IStream** ppStream) = 0;
    virtual HRESULT GetMimeType(BSTR* pbstrMimeType) = 0;
    virtual HRESULT GetName(BSTR* pbstrName) = 0;

protected:
    ~IPage() = default;
};

struct ITextPage : IPage {
    DECLARE_IID("{991865E3-ED64-4300-B2D9-96FBEA74B2BB}");
    using Bases = std::tuple<IPage>;
    virtual HRESULT GetLine(ULONG ulLine, BSTR* pbstrText, ULONG* pulCharPos) = 0;
    virtual HRESULT GetText(ULONG ulCharPos, ULONG ulLength, BSTR* pbstrText) = 0;
    virtual HRESULT GetSize(ULONG* pcNumLines, ULONG* pcNumChars) = 0;
    virtual HRESULT GetLineOfPosition(ULONG ulCharPos, ULONG* pulLine) = 0;
    virtual HRESULT GetPositionOfLine(ULONG ulLineNumber, ULONG* pulCharPos) = 0;
    virtual HRESULT GetCodePage(LONG* pnCodePage) = 0;

protected:
    ~ITextPage() = default;
};
