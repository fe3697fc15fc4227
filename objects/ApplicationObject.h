// CApplicationObject: the script object Application, the state that every script of the
// service shares for the life of the process.
//
// It keeps two maps: the contents, which scripts fill through `Application("name")` and
// `Application.Contents`, and the static objects, which the program registers through
// the private IApplicationEx (the storage object around the boot script, objects that
// ASA files declare with application scope). One re-entrant lock guards both maps and is
// also the lock that scripts take with `Application.Lock`, so a script that holds it
// keeps every other thread out of the application and its dictionaries until `UnLock`.
// The storage manager creates one instance at boot and hands it to every entity.
#pragma once

#include "com/CriticalSection.h"
#include "com/DispatchTable.h"
#include "idl/ServiceInterfaces.h"
#include "objects/ObjectInterfaces2.h"
#include "objects/VariantDictionary.h"

class CApplicationObject
    : public CComObjectRoot<CApplicationObject, IDispatchImpl<CApplicationObject, IApplication>,
                            IApplicationEx, ICorvane_Reserved> {
public:
    static const CDispatchTable& GetDispatchTable();

    // IApplication
    HRESULT get_Value(BSTR bstrValue, VARIANT* pvar) override;
    HRESULT put_Value(BSTR bstrValue, const VARIANT& var) override;
    HRESULT putref_Value(BSTR bstrValue, const VARIANT& var) override;
    HRESULT Lock() override;
    HRESULT UnLock() override;
    HRESULT get_StaticObjects(IVariantDictionary** ppProperties) override;
    HRESULT get_Contents(IVariantDictionary** ppProperties) override;

    // IApplicationEx
    HRESULT AddStaticObject(BSTR name, IDispatch* object) override;
    HRESULT RemoveStaticObject(BSTR name, IDispatch** ppDisp) override;
    // Leaves every `Application.Lock` that the calling thread still holds. Whoever runs
    // a script calls it when the run is over, so that a script that stopped between
    // Lock and UnLock (an error, Response.End) cannot shut every other thread out for
    // the rest of the process. S_FALSE when the thread held nothing.
    HRESULT ReleaseScriptLocks() override;

private:
    // The script-visible forms of the two collections (dispatch hands out IDispatch).
    HRESULT DispatchStaticObjects(IDispatch** ppDisp);
    HRESULT DispatchContents(IDispatch** ppDisp);
    // `Application.Contents("name") = value`: a put on the collection property with a key
    // is a put on the collection's default member, as Automation's standard dispatch
    // treats an assignment through a read-only object property.
    HRESULT DispatchPutStaticObjects(const VARIANT& varKey, const VARIANT& varValue);
    HRESULT DispatchPutContents(const VARIANT& varKey, const VARIANT& varValue);
    HRESULT MakeDictionary(CVariantMap* pmap, bool bReadOnly, IVariantDictionary** ppProperties);

    // Guards m_mapContents and m_mapStaticObjects; the lock of Application.Lock. Outermost
    // of the object model's locks: a dictionary takes it only after leaving its own.
    CComAutoCriticalSection m_lock;
    CVariantMap m_mapContents;
    CVariantMap m_mapStaticObjects;  // values are always VT_DISPATCH
};
