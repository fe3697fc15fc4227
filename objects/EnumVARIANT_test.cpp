// Tests of the snapshot enumerator: counts and statuses at the end of the snapshot,
// clones, Reset, and that an enumerator keeps its owner alive.
#include "objects/EnumVARIANT.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

// A collection of numbers that is its own site and owner.
class CNumbers : public CComObjectRoot<CNumbers, IDispatch>, public CEnumVARIANTSite {
public:
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, const char16_t**, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT Invoke(DISPID, const IID&, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT GetValues(std::vector<CComVariant>& values) override {
        if (FAILED(m_hrValues))
            return m_hrValues;
        for (LONG n : m_numbers)
            values.emplace_back(n);
        return S_OK;
    }

    std::vector<LONG> m_numbers;
    HRESULT m_hrValues = S_OK;
};

class EnumVARIANTTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_ptrNumbers = MakeObject<CNumbers>();
        m_ptrNumbers->m_numbers = {10, 20};
    }

    CComPtr<IEnumVARIANT> NewEnum() {
        CComPtr<IUnknown> ptrUnk;
        EXPECT_EQ(S_OK,
                  CreateEnumVARIANT(m_ptrNumbers.Get(), static_cast<IDispatch*>(m_ptrNumbers.Get()),
                                    ptrUnk.Receive()));
        return ComQuery<IEnumVARIANT>(ptrUnk.Get());
    }

    // Fetches one value: the number, or -1 when the enumeration has ended.
    static LONG NextNumber(IEnumVARIANT* pEnum) {
        CComVariant var;
        ULONG nFetched = 99;
        const HRESULT hr = pEnum->Next(1, &var, &nFetched);
        if (hr == S_FALSE) {
            EXPECT_EQ(0u, nFetched);
            return -1;
        }
        EXPECT_EQ(S_OK, hr);
        EXPECT_EQ(1u, nFetched);
        EXPECT_EQ(VT_I4, var.vt);
        return var.lVal;
    }

    CComPtr<CNumbers> m_ptrNumbers;
};

TEST_F(EnumVARIANTTest, NextPastTheEndCopiesWhatIsLeftAndReturnsFalse) {
    CComPtr<IEnumVARIANT> ptrEnum = NewEnum();
    ASSERT_TRUE(ptrEnum);
    CComVariant vars[3];
    ULONG nFetched = 0;
    EXPECT_EQ(S_FALSE, ptrEnum->Next(3, vars, &nFetched));
    EXPECT_EQ(2u, nFetched);
    EXPECT_EQ(10, vars[0].lVal);
    EXPECT_EQ(20, vars[1].lVal);
    EXPECT_EQ(VT_EMPTY, vars[2].vt);
    // pceltFetched may be left out.
    EXPECT_EQ(S_FALSE, ptrEnum->Next(1, vars, nullptr));
    EXPECT_EQ(E_POINTER, ptrEnum->Next(1, nullptr, &nFetched));
}

TEST_F(EnumVARIANTTest, SkipMovesAndStopsAtTheEnd) {
    CComPtr<IEnumVARIANT> ptrEnum = NewEnum();
    // Skipping exactly to the end skips every element asked for.
    EXPECT_EQ(S_OK, ptrEnum->Skip(2));
    EXPECT_EQ(-1, NextNumber(ptrEnum.Get()));

    ASSERT_EQ(S_OK, ptrEnum->Reset());
    EXPECT_EQ(S_OK, ptrEnum->Skip(1));
    EXPECT_EQ(20, NextNumber(ptrEnum.Get()));

    ASSERT_EQ(S_OK, ptrEnum->Reset());
    EXPECT_EQ(S_FALSE, ptrEnum->Skip(3));
    EXPECT_EQ(-1, NextNumber(ptrEnum.Get()));

    // A count that would wrap the position around ends at the end all the same.
    ASSERT_EQ(S_OK, ptrEnum->Reset());
    EXPECT_EQ(S_OK, ptrEnum->Skip(1));
    EXPECT_EQ(S_FALSE, ptrEnum->Skip(std::numeric_limits<ULONG>::max()));
    EXPECT_EQ(-1, NextNumber(ptrEnum.Get()));
}

TEST_F(EnumVARIANTTest, CloneContinuesFromTheSamePosition) {
    CComPtr<IEnumVARIANT> ptrEnum = NewEnum();
    EXPECT_EQ(10, NextNumber(ptrEnum.Get()));
    CComPtr<IEnumVARIANT> ptrClone;
    ASSERT_EQ(S_OK, ptrEnum->Clone(ptrClone.Receive()));
    EXPECT_EQ(20, NextNumber(ptrClone.Get()));
    EXPECT_EQ(-1, NextNumber(ptrClone.Get()));
    // The original goes on by itself.
    EXPECT_EQ(20, NextNumber(ptrEnum.Get()));
    EXPECT_EQ(E_POINTER, ptrEnum->Clone(nullptr));
}

TEST_F(EnumVARIANTTest, ChangesShowOnlyAfterReset) {
    CComPtr<IEnumVARIANT> ptrEnum = NewEnum();
    m_ptrNumbers->m_numbers = {1, 2, 3};
    EXPECT_EQ(10, NextNumber(ptrEnum.Get()));
    EXPECT_EQ(20, NextNumber(ptrEnum.Get()));
    EXPECT_EQ(-1, NextNumber(ptrEnum.Get()));
    ASSERT_EQ(S_OK, ptrEnum->Reset());
    EXPECT_EQ(1, NextNumber(ptrEnum.Get()));
}

TEST_F(EnumVARIANTTest, KeepsItsOwnerAlive) {
    const ULONG nBefore = m_ptrNumbers->RefCount();
    {
        CComPtr<IEnumVARIANT> ptrEnum = NewEnum();
        CComPtr<IEnumVARIANT> ptrClone;
        ASSERT_EQ(S_OK, ptrEnum->Clone(ptrClone.Receive()));
        EXPECT_EQ(nBefore + 2, m_ptrNumbers->RefCount());
        // The last outside reference may go: the enumerator still reads the site.
        m_ptrNumbers = nullptr;
        ASSERT_EQ(S_OK, ptrEnum->Reset());
        EXPECT_EQ(10, NextNumber(ptrEnum.Get()));
    }
}

TEST_F(EnumVARIANTTest, SiteFailuresAreReturned) {
    CComPtr<IUnknown> ptrUnk;
    EXPECT_EQ(E_POINTER, CreateEnumVARIANT(nullptr, nullptr, ptrUnk.Receive()));
    EXPECT_EQ(E_POINTER, CreateEnumVARIANT(m_ptrNumbers.Get(), nullptr, nullptr));

    CComPtr<IEnumVARIANT> ptrEnum = NewEnum();
    m_ptrNumbers->m_hrValues = E_OUTOFMEMORY;
    EXPECT_EQ(E_OUTOFMEMORY, CreateEnumVARIANT(m_ptrNumbers.Get(), nullptr, ptrUnk.Receive()));
    EXPECT_FALSE(ptrUnk);
    // A failed Reset keeps the old snapshot and position.
    EXPECT_EQ(10, NextNumber(ptrEnum.Get()));
    EXPECT_EQ(E_OUTOFMEMORY, ptrEnum->Reset());
    EXPECT_EQ(20, NextNumber(ptrEnum.Get()));
    CComPtr<IEnumVARIANT> ptrClone;
    EXPECT_EQ(E_OUTOFMEMORY, ptrEnum->Clone(ptrClone.Receive()));
    EXPECT_FALSE(ptrClone);
}

}  // namespace
