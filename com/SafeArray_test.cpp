// SAFEARRAY: bounds, elements by type, locking, resizing and copying.
#include "com/SafeArray.h"

#include <gtest/gtest.h>

#include "com/CComVariant.h"

namespace {

TEST(SafeArray, TwoDimensionsWithLowerBounds) {
    SAFEARRAYBOUND bounds[] = {{3, 1}, {2, -1}};  // a(1 To 3, -1 To 0)
    SAFEARRAY* psa = SafeArrayCreate(VT_I4, 2, bounds);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetDim(psa), 2u);
    LONG lo = 0, hi = 0;
    ASSERT_EQ(SafeArrayGetLBound(psa, 2, &lo), S_OK);
    ASSERT_EQ(SafeArrayGetUBound(psa, 2, &hi), S_OK);
    EXPECT_EQ(lo, -1);
    EXPECT_EQ(hi, 0);
    EXPECT_EQ(SafeArrayGetUBound(psa, 3, &hi), DISP_E_BADINDEX);
    for (LONG i = 1; i <= 3; ++i)
        for (LONG j = -1; j <= 0; ++j) {
            LONG index[] = {i, j}, value = i * 10 + j;
            ASSERT_EQ(SafeArrayPutElement(psa, index, &value), S_OK);
        }
    LONG index[] = {3, -1}, value = 0;
    ASSERT_EQ(SafeArrayGetElement(psa, index, &value), S_OK);
    EXPECT_EQ(value, 29);
    LONG outside[] = {4, 0};
    EXPECT_EQ(SafeArrayGetElement(psa, outside, &value), DISP_E_BADINDEX);
    // The first dimension varies fastest in memory.
    LONG* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(psa, reinterpret_cast<void**>(&data)), S_OK);
    EXPECT_EQ(data[1], 19);
    EXPECT_EQ(SafeArrayDestroy(psa), DISP_E_ARRAYISLOCKED);
    SAFEARRAYBOUND bigger{5, -1};
    EXPECT_EQ(SafeArrayRedim(psa, &bigger), DISP_E_ARRAYISLOCKED);
    ASSERT_EQ(SafeArrayUnaccessData(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
}

TEST(SafeArray, VariantsAndStringsAreOwnedCopies) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    ASSERT_NE(psa, nullptr);
    CComVariant text(u"hello"), out;
    LONG i0[] = {0}, i1[] = {1};
    ASSERT_EQ(SafeArrayPutElement(psa, i0, &text), S_OK);
    ASSERT_EQ(SafeArrayGetElement(psa, i0, &out), S_OK);
    EXPECT_EQ(out.Text(), u"hello");
    ASSERT_EQ(SafeArrayGetElement(psa, i1, &out), S_OK);
    EXPECT_EQ(out.vt, VT_EMPTY);

    // Growing keeps the elements, shrinking releases the ones cut off.
    SAFEARRAYBOUND grown{4, 0}, shrunk{1, 0};
    ASSERT_EQ(SafeArrayRedim(psa, &grown), S_OK);
    LONG i3[] = {3};
    ASSERT_EQ(SafeArrayPutElement(psa, i3, &text), S_OK);
    SAFEARRAY* copy = nullptr;
    ASSERT_EQ(SafeArrayCopy(psa, &copy), S_OK);
    ASSERT_EQ(SafeArrayRedim(psa, &shrunk), S_OK);
    EXPECT_EQ(SafeArrayGetElement(psa, i3, &out), DISP_E_BADINDEX);
    ASSERT_EQ(SafeArrayGetElement(copy, i3, &out), S_OK);
    EXPECT_EQ(out.Text(), u"hello");
    EXPECT_EQ(SafeArrayDestroy(psa), S_OK);
    EXPECT_EQ(SafeArrayDestroy(copy), S_OK);

    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 1, 1);
    BSTR word(u"w"), got;
    LONG one[] = {1};
    ASSERT_EQ(SafeArrayPutElement(strings, one, &word), S_OK);
    SAFEARRAYBOUND more{3, 1};
    ASSERT_EQ(SafeArrayRedim(strings, &more), S_OK);
    ASSERT_EQ(SafeArrayGetElement(strings, one, &got), S_OK);
    EXPECT_EQ(got, word);
    CComVariant holder;
    holder.vt = VT_ARRAY | VT_BSTR;
    holder.parray = strings;  // freed by the variant
    CComVariant second(holder);
    EXPECT_NE(second.parray, strings);
}

TEST(SafeArray, RefusesBadShapes) {
    SAFEARRAYBOUND none{1, 0};
    EXPECT_EQ(SafeArrayCreate(VT_I4, 0, &none), nullptr);
    EXPECT_EQ(SafeArrayCreate(VT_NULL, 1, &none), nullptr);
    SAFEARRAYBOUND huge[] = {{0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}};
    EXPECT_EQ(SafeArrayCreate(VT_VARIANT, 2, huge), nullptr);
}

}  // namespace
