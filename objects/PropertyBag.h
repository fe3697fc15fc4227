// CPropertyBag: the read-only property bag from which an object declared in an
// application file reads its parameters while it loads itself.
//
// The application-file compiler fills the bag once (`Init`) from the object tag's
// remaining attributes and the PARAM tags between the object's start and end tags,
// hands it to the object's load and releases it. Attribute names arrive upper-cased
// and `Read` upper-cases the name it is asked for, so the tag's own attributes are found
// under any case; a PARAM's NAME is kept as written, so only an upper-case one can be
// read back.
#pragma once

#include <map>
#include <string>
#include <unordered_map>

#include "com/CComVariant.h"
#include "com/CriticalSection.h"
#include "objects/ObjectInterfaces1.h"

class CPropertyBag : public CComObjectRoot<CPropertyBag, IPropertyBag> {
public:
    // attribs: the object tag's remaining attributes (names upper-cased); text: what lies
    // between the object's start and end tags. A PARAM tag without NAME or VALUE fails
    // with E_UNEXPECTED.
    HRESULT Init(const std::map<std::u16string, std::u16string>& attribs,
                 const std::u16string& text);

    // IPropertyBag
    HRESULT Read(const char16_t* pszPropName, VARIANT* pVar, IErrorLog* pErrorLog) override;
    HRESULT Write(const char16_t* pszPropName, VARIANT* pVar) override;

private:
    // The hash of a property name: h = h * 33 + code unit, over the name.
    struct CNameHash {
        std::size_t operator()(const std::u16string& name) const;
    };

    // Guards m_mapProperties; taken alone.
    CComAutoCriticalSection m_lock;
    std::unordered_map<std::u16string, CComVariant, CNameHash> m_mapProperties;
};
