// Fuzzes the splitting of URL-encoded fields into a request dictionary (the query
// string and the form of Request). Whatever the bytes, the dictionary must agree with
// itself: no more names than segments, every key found again by Item, Key counting from
// 1 over exactly Count names, the enumeration giving Count values, a field list holding
// at least two values, and Item without an argument giving the text back undecoded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "com/CodePage.h"
#include "objects/RequestObject.h"
#include "objects/StringList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view source(reinterpret_cast<const char*>(data), size);
    // The decoded form never grows.
    if (CRequestObject::URLDecode(source).size() > source.size())
        std::abort();

    CComPtr<CRequestDictionary> ptrDict;
    if (FAILED(CRequestObject::ParseFields(source, &ptrDict)) || !ptrDict)
        std::abort();

    LONG nCount = -1;
    if (FAILED(ptrDict->get_Count(&nCount)) || nCount < 0)
        std::abort();
    std::size_t nSegments = 1;
    for (char c : source)
        nSegments += c == '&';
    if (static_cast<std::size_t>(nCount) > nSegments)
        std::abort();

    for (LONG i = 0; i <= nCount + 1; ++i) {
        CComVariant varKey;
        if (FAILED(ptrDict->get_Key(CComVariant(i), &varKey)))
            std::abort();
        if (i < 1 || i > nCount) {
            if (varKey.vt != VT_EMPTY)
                std::abort();
            continue;
        }
        if (varKey.vt != VT_BSTR)
            std::abort();
        CComVariant varValue;
        if (FAILED(ptrDict->get_Item(varKey, &varValue)))
            std::abort();
        if (varValue.vt == VT_DISPATCH) {
            CComPtr<IStringList> ptrList = ComQuery<IStringList>(varValue.pdispVal);
            LONG nValues = 0;
            if (!ptrList || FAILED(ptrList->get_Count(&nValues)) || nValues < 2)
                std::abort();
        } else if (varValue.vt != VT_BSTR) {
            std::abort();
        }
    }

    CComPtr<IUnknown> ptrEnumUnk;
    if (FAILED(ptrDict->get__NewEnum(ptrEnumUnk.Receive())))
        std::abort();
    CComPtr<IEnumVARIANT> ptrEnum = ComQuery<IEnumVARIANT>(ptrEnumUnk.Get());
    LONG nEnumerated = 0;
    for (;;) {
        CComVariant var;
        if (!ptrEnum || ptrEnum->Next(1, &var, nullptr) != S_OK)
            break;
        ++nEnumerated;
    }
    if (nEnumerated != nCount)
        std::abort();

    CComVariant varWhole;
    std::u16string expected;
    if (FAILED(ptrDict->get_Item(CComVariant::Error(DISP_E_PARAMNOTFOUND), &varWhole)) ||
        FAILED(MultiByteToUnicode(CP_ACP, source, &expected)) || varWhole.Text() != expected)
        std::abort();
    return 0;
}
