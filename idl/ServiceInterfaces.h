// The service's private custom interfaces: how processes attach, how pages' entities
// run, and the helpers they talk to.
//
// These are IUnknown-based interfaces whose methods are listed in their slot order (the
// order a peer or a stub counts them in). Interfaces that only appear here as argument
// types (`IRequest`, `IUserObject`, `IApplication`, `IPage`, `IStream`) are declared by
// the folders that implement them; their ids are in Identifiers.h where they have one.
#pragma once

#include <tuple>

#include "com/Bstr.h"
#include "com/Dispatch.h"
#include "com/Unknown.h"
#include "idl/Identifiers.h"

struct IPellora;
struct IStream;
struct IPage;
struct IApplication;
struct IRequest;
struct IUserObject;
struct IScriptInstance;

// The Server class's interface, through which a process attaches and detaches.
struct ISocketServer : IUnknown {
    static constexpr IID iid = IID_ISocketServer;
    // pTray may be null. On success *pPort is the private port (host order) and
    // *guidSessionKey the process session's key, all zero when the process is not
    // diverted.
    virtual HRESULT Init(LONG ProcessId, BSTR strProcessName, IPellora* pTray, USHORT* pPort,
                         GUID* guidSessionKey) = 0;
    virtual HRESULT Term(const GUID* Token) = 0;

protected:
    ~ISocketServer() = default;
};

// What an entity needs of the HTTP response it writes; each member shares its
// implementation with the IResponse member of the same name.
struct IHTTPResponse : IUnknown {
    static constexpr IID iid = IID_IHTTPResponse;
    virtual HRESULT get_ContentType(BSTR* pVal) = 0;
    virtual HRESULT put_ContentType(BSTR newVal) = 0;
    virtual HRESULT put_CodePage(LONG newVal) = 0;
    virtual HRESULT put_LCID(LONG newVal) = 0;
    virtual HRESULT SetStream(IStream* pStream) = 0;

protected:
    ~IHTTPResponse() = default;
};

struct IEntity : IUnknown {
    static constexpr IID iid = IID_IEntity;
    virtual HRESULT Init(LCID lcid, IApplication* pApp, IPage* pPage) = 0;
    virtual HRESULT GetLCID(LCID* plcid) = 0;
    virtual HRESULT Close() = 0;

protected:
    ~IEntity() = default;
};

// An entity that answers HTTP requests (ASP pages and plain files).
struct IHTTPEntity : IEntity {
    static constexpr IID iid = IID_IHTTPEntity;
    using Bases = std::tuple<IEntity>;
    virtual HRESULT Get(IRequest* pRequest, IUserObject* pSession, IHTTPResponse* pResponse) = 0;

protected:
    ~IHTTPEntity() = default;
};

struct IASPEntity : IHTTPEntity {
    static constexpr IID iid = IID_IASPEntity;
    using Bases = std::tuple<IHTTPEntity, IEntity>;
    virtual HRESULT GetBlockText(ULONG ulBlockNumber, BSTR* pbstrText) = 0;
    virtual HRESULT End() = 0;

protected:
    ~IASPEntity() = default;
};

// An application script (".asa"): instantiated, then its functions are invoked.
struct IScriptEntity : IEntity {
    static constexpr IID iid = IID_IScriptEntity;
    using Bases = std::tuple<IEntity>;
    virtual HRESULT Instantiate(IScriptInstance** ppInstance) = 0;

protected:
    ~IScriptEntity() = default;
};

// One runnable clone of an entity's parsed scripts.
struct IScriptInstance : IUnknown {
    static constexpr IID iid = IID_IScriptInstance;
    virtual HRESULT Run() = 0;
    virtual HRESULT Halt() = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT Invoke(BSTR bstrFunction, const IID& riid, LCID lcid, WORD wFlags,
                           DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                           UINT* puArgErr) = 0;
    virtual HRESULT GetNamedObject(BSTR bstrName, IDispatch** ppDisp) = 0;
    virtual HRESULT AddNamedObject(BSTR bstrName, IDispatch* pDisp) = 0;

protected:
    ~IScriptInstance() = default;
};

// The application object's static objects, for the ASA compiler and the storage manager.
struct IApplicationEx : IUnknown {
    static constexpr IID iid = IID_IApplicationEx;
    virtual HRESULT AddStaticObject(BSTR name, IDispatch* object) = 0;
    // ppDisp may be null.
    virtual HRESULT RemoveStaticObject(BSTR name, IDispatch** ppDisp) = 0;
    // Leaves every Application.Lock that the calling thread still holds; whoever runs a
    // script calls it when the run is over. S_FALSE when the thread held nothing.
    virtual HRESULT ReleaseScriptLocks() = 0;

protected:
    ~IApplicationEx() = default;
};

// A marker without methods: the program's own objects answer it, and the collections
// that scripts fill refuse to store anything that does.
struct ICorvane_Reserved : IUnknown {
    static constexpr IID iid = IID_ICorvane_Reserved;

protected:
    ~ICorvane_Reserved() = default;
};
