// IServerObject: the dual interface of the script object "Server".
//
// Scripts reach it late-bound through IDispatch with the fixed dispatch ids of
// idl/DispatchIds.h; C++ callers (the entities that add the object to a script, tests)
// call the members directly. "bool" results travel as VARIANT_BOOL (true is -1) through
// dispatch; here they are C++ bools, as the dispatch tables want them.
#pragma once

#include "com/DispatchTable.h"
#include "idl/Identifiers.h"

struct IServerObject : IDispatch {
    static constexpr IID iid = IID_IServerObject;
    using Bases = std::tuple<IDispatch>;

    // [1] The text as UTF-8, with reserved and non-ASCII bytes escaped ("%xx", "+").
    virtual HRESULT URLEncode(BSTR strText, BSTR* pbstrVal) = 0;
    // [2] A plain HTTP fetch: *pvarResponse is the body (text or a byte array), or the
    // reason the server could not be reached or refused, with *pbSuccess false.
    virtual HRESULT MakeRemoteRequest(BSTR bstrURL, VARIANT* pvarResponse, bool* pbSuccess) = 0;
    // [3] The machine's identifier, computed once and kept in the registry.
    virtual HRESULT get_MachineId(BSTR* pVal) = 0;
    // [4] A value under the product's registry key: a DWORD reads as a number, a string
    // as text, a missing value as Empty.
    virtual HRESULT get_RegistryKey(BSTR Name, VARIANT* pVal) = 0;
    virtual HRESULT put_RegistryKey(BSTR Name, const VARIANT& newVal) = 0;
    // [5] The MD5 digest of the text's UTF-8 bytes as 32 lower-case hex digits.
    virtual HRESULT MD5Hash(BSTR strText, BSTR* bstrHash) = 0;
    // [6] The text with markup characters and everything outside printable ASCII
    // written as entities.
    virtual HRESULT HTMLEncode(BSTR strText, BSTR* pbstrVal) = 0;
    // [7] Downloads a file into the site directory; *pbReboot becomes true when the
    // file is in use and will be replaced at the next service start.
    virtual HRESULT DownloadFile(BSTR bstrURL, BSTR bstrFilename, ByRef<bool> pbReboot,
                                 bool* pbResult) = 0;
    // [8] Asks the system to restart.
    virtual HRESULT RebootWindows(bool* pbResult) = 0;
    // [9] The categories of a URL from a classification server, as "12/7/40".
    virtual HRESULT CheckURL(BSTR bstrServerURL, BSTR bstrURLToCheck, VARIANT* pvarResponse,
                             bool* pbSuccess) = 0;

protected:
    ~IServerObject() = default;
};
