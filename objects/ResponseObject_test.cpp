// Tests of the Response object: what a page that sets nothing sends, character sets and
// code pages with the bytes Write produces, expiry rules, Redirect, BinaryWrite and its
// refused inputs, status texts, End and WriteBlock with and without an ASP entity, and
// the headers a page adds.
#include "objects/ResponseObject.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/SafeArray.h"
#include "pages/MemoryStream.h"

namespace {

// An ASP entity that serves literal blocks and counts End calls.
class CFakeASPEntity : public CComObjectRoot<CFakeASPEntity, IASPEntity> {
public:
    HRESULT Init(LCID, IApplication*, IPage*) override { return E_NOTIMPL; }
    HRESULT GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT Close() override { return S_OK; }
    HRESULT Get(IRequest*, IUserObject*, IHTTPResponse*) override { return E_NOTIMPL; }
    HRESULT GetBlockText(ULONG n, BSTR* pbstrText) override {
        if (n >= m_blocks.size())
            return E_INVALIDARG;
        *pbstrText = BSTR(m_blocks[n]);
        return S_OK;
    }
    HRESULT End() override {
        ++m_cEnds;
        return S_OK;
    }
    std::vector<std::u16string> m_blocks;
    int m_cEnds = 0;
};

// A plain entity (a file entity): no literal blocks, nothing to end.
class CFakeFileEntity : public CComObjectRoot<CFakeFileEntity, IHTTPEntity> {
public:
    HRESULT Init(LCID, IApplication*, IPage*) override { return E_NOTIMPL; }
    HRESULT GetLCID(LCID*) override { return E_NOTIMPL; }
    HRESULT Close() override { return S_OK; }
    HRESULT Get(IRequest*, IUserObject*, IHTTPResponse*) override { return E_NOTIMPL; }
};

std::string Bytes(const CMemoryStream& stream) {
    return std::string(stream.Bytes().begin(), stream.Bytes().end());
}

CComVariant ByteArray(std::vector<SAFEARRAYBOUND> bounds) {
    SAFEARRAY* psa = SafeArrayCreate(VT_UI1, static_cast<UINT>(bounds.size()), bounds.data());
    void* pv = nullptr;
    SafeArrayAccessData(psa, &pv);
    for (ULONG i = 0; i < SafeArrayGetElemsize(psa) * bounds[0].cElements; ++i)
        static_cast<BYTE*>(pv)[i] = static_cast<BYTE>('0' + i % 10);
    SafeArrayUnaccessData(psa);
    VARIANT v{};
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = psa;
    CComVariant result;
    result.Attach(&v);
    return result;
}

class ResponseTest : public ::testing::Test {
protected:
    void SetUp() override {
        http = CHTTPResponse::Create(nullptr);
        entity = MakeObject<CFakeASPEntity>();
        ASSERT_EQ(response->Init(http.Get(), entity.Get()), S_OK);
        // The body goes into a stream the test can read.
        ASSERT_EQ(response->SetStream(body.Get()), S_OK);
    }
    // What an ASP entity sets before the page runs.
    void AsEntityWould(const char16_t* type, LONG codePage, LONG lcid) {
        IHTTPResponse* p = response.Get();
        ASSERT_EQ(p->put_ContentType(BSTR(type)), S_OK);
        ASSERT_EQ(p->put_CodePage(codePage), S_OK);
        ASSERT_EQ(p->put_LCID(lcid), S_OK);
    }
    std::vector<std::pair<std::string, std::string>> Headers() { return http->Headers(); }

    CComPtr<CHTTPResponse> http;
    CComPtr<CFakeASPEntity> entity;
    CComPtr<CResponseObject> response = MakeObject<CResponseObject>();
    CComPtr<CMemoryStream> body = MakeObject<CMemoryStream>();
};

TEST_F(ResponseTest, PageThatSetsNothing) {
    AsEntityWould(u"text/html", 65001, 1033);
    ASSERT_EQ(response->Flush(), S_OK);
    EXPECT_EQ(http->GetStatus(), "200 OK");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Cache-Control", "no-cache"},
        {"Content-Length", "0"},
        {"Content-Type", "text/html; charset=utf-8"},
        {"Content-Language", "en"},
    };
    EXPECT_EQ(Headers(), expected);
}

TEST_F(ResponseTest, HeadersThePageSetWin) {
    AsEntityWould(u"text/html", 65001, 0x407);
    ASSERT_EQ(response->AddHeader(BSTR(u"content-type"), BSTR(u"text/plain")), S_OK);
    ASSERT_EQ(response->put_CacheControl(BSTR(u"private")), S_OK);
    ASSERT_EQ(response->Pics(BSTR(u"(PICS-1.1 rating)")), S_OK);
    BSTR cache;
    ASSERT_EQ(response->get_CacheControl(&cache), S_OK);
    EXPECT_EQ(cache.View(), u"private");
    ASSERT_EQ(response->Flush(), S_OK);
    EXPECT_EQ(http->GetHeader("Content-Type"), "text/plain");
    EXPECT_EQ(http->GetHeader("Content-Language"), "de");
    EXPECT_EQ(http->GetHeader("PICS-label"), "(PICS-1.1 rating)");

    // Names that are not header tokens and values that would split the response.
    EXPECT_EQ(response->AddHeader(BSTR(u"Bad Name"), BSTR(u"v")), E_INVALIDARG);
    EXPECT_EQ(response->AddHeader(BSTR(u"X-Split"), BSTR(u"v\r\nSet-Cookie: a=b")), E_INVALIDARG);
    EXPECT_EQ(http->GetHeader("X-Split"), "");
}

struct WriteCase {
    const char* name;
    LONG codePage;            // 0: never set (UTF-16 output)
    const char16_t* charSet;  // set after the code page when not null
    LCID lcid;
    CComVariant value;
    std::string bytes;
};

TEST_F(ResponseTest, WriteConvertsToTheResponsesCodePage) {
    const WriteCase cases[] = {
        {"utf16 without code page", 0, nullptr, 1033, CComVariant(u"h\u00e9"),
         std::string("h\0\xe9\0", 4)},
        {"utf8 expands beyond two bytes a unit", 65001, nullptr, 1033, CComVariant(u"\u20ac\u4e2d"),
         "\xe2\x82\xac\xe4\xb8\xad"},
        {"latin1 by charset, unmappable is ?", 0, u"ISO-8859-1", 1033,
         CComVariant(u"caf\u00e9 \u20ac"), "caf\xe9 ?"},
        {"boolean in words", 65001, nullptr, 1033, CComVariant(true), "True"},
        {"number in the locale", 65001, nullptr, 0x407, CComVariant(1.5), "1,5"},
        {"empty writes nothing", 65001, nullptr, 1033, CComVariant(), ""},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<CResponseObject> r = MakeObject<CResponseObject>();
        CComPtr<CMemoryStream> out = MakeObject<CMemoryStream>();
        ASSERT_EQ(r->Init(http.Get(), entity.Get()), S_OK);
        ASSERT_EQ(r->SetStream(out.Get()), S_OK);
        ASSERT_EQ(r->put_LCID(static_cast<LONG>(c.lcid)), S_OK);
        if (c.codePage) {
            ASSERT_EQ(r->put_CodePage(c.codePage), S_OK);
        }
        if (c.charSet) {
            ASSERT_EQ(r->put_CharSet(BSTR(c.charSet)), S_OK);
        }
        ASSERT_EQ(r->Write(c.value), S_OK);
        EXPECT_EQ(Bytes(*out), c.bytes);
    }
}

TEST_F(ResponseTest, CharSetAndCodePageNameEachOther) {
    AsEntityWould(u"text/html", 65001, 1033);
    ASSERT_EQ(response->put_CharSet(BSTR(u"ISO-8859-1")), S_OK);
    LONG cp = 0;
    ASSERT_EQ(response->get_CodePage(&cp), S_OK);
    EXPECT_EQ(cp, 28591);
    ASSERT_EQ(response->Flush(), S_OK);
    EXPECT_EQ(http->GetHeader("Content-Type"), "text/html; charset=ISO-8859-1");

    ASSERT_EQ(response->put_CodePage(1252), S_OK);
    BSTR charset;
    ASSERT_EQ(response->get_CharSet(&charset), S_OK);
    EXPECT_EQ(charset.View(), u"windows-1252");

    // Unknown names and numbers are refused and change nothing.
    EXPECT_EQ(response->put_CharSet(BSTR(u"klingon")), E_INVALIDARG);
    EXPECT_EQ(response->put_CodePage(12345), E_INVALIDARG);
    EXPECT_EQ(response->put_CodePage(-1), E_INVALIDARG);
    ASSERT_EQ(response->get_CodePage(&cp), S_OK);
    EXPECT_EQ(cp, 1252);
}

TEST_F(ResponseTest, LcidMustBeAnInstalledLocale) {
    LONG lcid = 0;
    ASSERT_EQ(response->put_LCID(0x09), S_OK);  // English, neutral: a locale of its own here
    ASSERT_EQ(response->get_LCID(&lcid), S_OK);
    EXPECT_EQ(lcid, 0x09);
    EXPECT_EQ(response->put_LCID(0x7777), E_INVALIDARG);
    EXPECT_EQ(response->put_LCID(-1), E_INVALIDARG);
    ASSERT_EQ(response->get_LCID(&lcid), S_OK);
    EXPECT_EQ(lcid, 0x09);
    ASSERT_EQ(response->Flush(), S_OK);
    EXPECT_EQ(http->GetHeader("Content-Language"), "en");
}

TEST_F(ResponseTest, ExpiryKeepsTheEarliestAndProducesNoHeader) {
    CComVariant v;
    ASSERT_EQ(response->put_Expires(60), S_OK);
    ASSERT_EQ(response->get_Expires(&v), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 0);
    ASSERT_EQ(response->put_Expires(-5), S_OK);
    ASSERT_EQ(response->get_Expires(&v), S_OK);
    EXPECT_EQ(v.lVal, -5);

    ASSERT_EQ(response->get_ExpiresAbsolute(&v), S_OK);
    ASSERT_EQ(v.vt, VT_DATE);
    const DATE now = v.date;
    EXPECT_GT(now, 40000.0);  // set at Init to the current time (after 2009)
    ASSERT_EQ(response->put_ExpiresAbsolute(now + 1), S_OK);
    ASSERT_EQ(response->get_ExpiresAbsolute(&v), S_OK);
    EXPECT_EQ(v.date, now);
    ASSERT_EQ(response->put_ExpiresAbsolute(now - 1), S_OK);
    ASSERT_EQ(response->get_ExpiresAbsolute(&v), S_OK);
    EXPECT_EQ(v.date, now - 1);

    ASSERT_EQ(response->Flush(), S_OK);
    EXPECT_EQ(http->GetHeader("Expires"), "");
}

TEST_F(ResponseTest, RedirectDiscardsOutputAndHeadersAndEndsThePage) {
    AsEntityWould(u"text/html", 65001, 1033);
    ASSERT_EQ(response->Write(CComVariant(u"written before")), S_OK);
    ASSERT_EQ(response->AddHeader(BSTR(u"X-Before"), BSTR(u"1")), S_OK);

    // A URL with a line break is refused before anything changes.
    EXPECT_EQ(response->Redirect(BSTR(u"/a\r\nX-Evil: 1")), E_INVALIDARG);
    EXPECT_EQ(entity->m_cEnds, 0);
    EXPECT_EQ(Bytes(*body), "written before");

    ASSERT_EQ(response->Redirect(BSTR(u"http://localhost:4000/blocked.asp")), S_OK);
    EXPECT_EQ(entity->m_cEnds, 1);
    EXPECT_EQ(Bytes(*body), "");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"Location", "http://localhost:4000/blocked.asp"}};
    EXPECT_EQ(Headers(), expected);

    ASSERT_EQ(response->Flush(), S_OK);
    EXPECT_EQ(http->GetStatus(), "302 Found");
    EXPECT_EQ(http->GetHeader("Cache-Control"), "");
    EXPECT_EQ(http->GetHeader("X-Before"), "");
    EXPECT_EQ(http->GetHeader("Content-Length"), "0");
}

TEST_F(ResponseTest, BinaryWriteAppendsBytesAndRefusesOtherInput) {
    ASSERT_EQ(response->BinaryWrite(ByteArray({{10, 0}})), S_OK);
    EXPECT_EQ(Bytes(*body), "0123456789");
    // Bounds other than 0 count from the lower to the upper bound; an empty array adds
    // nothing.
    ASSERT_EQ(response->BinaryWrite(ByteArray({{3, 5}})), S_OK);
    ASSERT_EQ(response->BinaryWrite(ByteArray({{0, 0}})), S_OK);
    EXPECT_EQ(Bytes(*body), "0123456789012");

    CComVariant twoDims = ByteArray({{2, 0}, {2, 0}});
    VARIANT nullArray{};
    nullArray.vt = VT_ARRAY | VT_UI1;
    VARIANT longs{};
    longs.vt = VT_ARRAY | VT_I4;
    longs.parray = SafeArrayCreateVector(VT_I4, 0, 2);
    CComVariant longArray;
    longArray.Attach(&longs);
    const struct {
        const char* name;
        const VARIANT& input;
        HRESULT expected;
    } refused[] = {
        {"two dimensions", twoDims, DISP_E_TYPEMISMATCH},
        {"no array", nullArray, E_POINTER},
        {"array of longs", longArray, DISP_E_TYPEMISMATCH},
        {"string", CComVariant(u"0123"), DISP_E_TYPEMISMATCH},
        {"empty", CComVariant(), DISP_E_TYPEMISMATCH},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(response->BinaryWrite(c.input), c.expected);
    }
    EXPECT_EQ(Bytes(*body), "0123456789012");

    // A byte array passed by reference.
    CComVariant bytes = ByteArray({{2, 0}});
    VARIANT byref{};
    byref.vt = VT_ARRAY | VT_UI1 | VT_BYREF;
    byref.pparray = &bytes.parray;
    ASSERT_EQ(response->BinaryWrite(byref), S_OK);
    EXPECT_EQ(Bytes(*body), "012345678901201");
}

TEST_F(ResponseTest, StatusIsSentAsGivenClearKeepsIt) {
    ASSERT_EQ(response->put_Status(BSTR(u"299 Whatever you like")), S_OK);
    ASSERT_EQ(response->AddHeader(BSTR(u"X-Kept"), BSTR(u"1")), S_OK);
    ASSERT_EQ(response->Write(CComVariant(u"x")), S_OK);
    ASSERT_EQ(response->Clear(), S_OK);
    EXPECT_TRUE(body->Bytes().empty());
    EXPECT_EQ(response->put_Status(BSTR(u"200 OK\r\nX-Evil: 1")), E_INVALIDARG);
    ASSERT_EQ(response->Flush(), S_OK);
    EXPECT_EQ(http->GetStatus(), "299 Whatever you like");
    EXPECT_EQ(http->GetHeader("X-Kept"), "1");
}

TEST_F(ResponseTest, WriteBlockAndEndGoThroughTheAspEntity) {
    entity->m_blocks = {u"<html>", u"\u00e9</html>"};
    ASSERT_EQ(response->put_CodePage(65001), S_OK);
    ASSERT_EQ(response->WriteBlock(1), S_OK);
    ASSERT_EQ(response->WriteBlock(0), S_OK);
    EXPECT_EQ(Bytes(*body), "\xc3\xa9</html><html>");
    EXPECT_EQ(response->WriteBlock(2), E_INVALIDARG);
    ASSERT_EQ(response->End(), S_OK);
    EXPECT_EQ(entity->m_cEnds, 1);

    // A response whose entity runs no ASP page, and one without an entity.
    CComPtr<CFakeFileEntity> file = MakeObject<CFakeFileEntity>();
    for (IHTTPEntity* pEntity :
         {static_cast<IHTTPEntity*>(file.Get()), static_cast<IHTTPEntity*>(nullptr)}) {
        CComPtr<CResponseObject> r = MakeObject<CResponseObject>();
        ASSERT_EQ(r->Init(CHTTPResponse::Create(nullptr).Get(), pEntity), S_OK);
        EXPECT_EQ(r->End(), E_UNEXPECTED);
        EXPECT_EQ(r->WriteBlock(0), E_UNEXPECTED);
    }
}

TEST_F(ResponseTest, FileEntityStreamBecomesTheBody) {
    CComPtr<CResponseObject> r = MakeObject<CResponseObject>();
    CComPtr<CHTTPResponse> h = CHTTPResponse::Create(nullptr);
    ASSERT_EQ(r->Init(h.Get(), nullptr), S_OK);
    CComPtr<CMemoryStream> page = MakeObject<CMemoryStream>(std::vector<BYTE>{1, 2, 3, 4, 5});
    IHTTPResponse* p = r.Get();
    ASSERT_EQ(p->put_ContentType(BSTR(u"image/x-icon")), S_OK);
    ASSERT_EQ(p->SetStream(page.Get()), S_OK);
    EXPECT_EQ(p->SetStream(nullptr), E_POINTER);
    ASSERT_EQ(r->Flush(), S_OK);
    EXPECT_EQ(h->GetHeader("Content-Type"), "image/x-icon");
    EXPECT_EQ(h->GetHeader("Content-Length"), "5");
    // Without a locale the page has no language to name.
    EXPECT_EQ(h->GetHeader("Content-Language"), "");

    // Before Init there is nothing to flush into.
    EXPECT_EQ(MakeObject<CResponseObject>()->Flush(), E_UNEXPECTED);
}

}  // namespace
