// The shared identifiers: unique, written back in registry form unchanged, and equal to
// the published values; the custom interfaces answer their ids and their bases' ids.
#include "idl/Identifiers.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "idl/DispatchIds.h"
#include "idl/Enums.h"
#include "idl/ServiceInterfaces.h"
#include "idl/TrayInterfaces.h"

namespace {

TEST(Identifiers, EveryIdentifierIsUniqueAndNamedOnce) {
    std::set<GUID> guids;
    std::set<std::string_view> names;
    for (const IdentifierEntry& e : AllIdentifiers()) {
        EXPECT_TRUE(guids.insert(e.guid).second) << e.name << " repeats " << GUID2String(e.guid);
        EXPECT_TRUE(names.insert(e.name).second) << e.name;
        EXPECT_FALSE(e.guid.IsNull()) << e.name;
    }
}

TEST(Identifiers, RegistryFormParsesBackToItself) {
    for (const IdentifierEntry& e : AllIdentifiers()) {
        std::string text = GUID2String(e.guid);
        ASSERT_EQ(text.size(), 38u) << e.name;
        EXPECT_EQ(text.find_first_of("abcdef"), std::string::npos) << text;
        auto parsed = ParseGUID(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed, e.guid) << e.name;
        EXPECT_EQ(GUID::FromBytes(e.guid.ToBytes().data()), e.guid) << e.name;
    }
}

TEST(Identifiers, ValuesAreThePublishedOnes) {
    struct Case {
        const GUID& guid;
        const char* text;
    };
    const Case cases[] = {
        {LIBID_Corvane, "{D53C533F-4D4F-450D-8A2F-60CA5D6FBEBA}"},
        {LIBID_Pellora, "{F47791B9-D266-4CDD-AE44-F8FF056A48E3}"},
        {APPID_Corvane, "{874CF721-3BCD-4BF8-9A49-5CAB105AA74E}"},
        {APPID_Pellora, "{813054C6-A05E-4F3F-AD13-0ABCBAA75EFE}"},
        {CLSID_Server, "{19BF719A-8566-443A-92F7-307C2D1D348D}"},
        {CLSID_FileEntity, "{2E51291D-D514-47ED-97CA-FBFAE7EC2E62}"},
        {CLSID_ServerObject, "{F0E9C5B0-5472-4CC2-AED6-7324A8C42E0D}"},
        {CLSID_TrayIcon, "{2D005715-D4B4-4B00-A9AB-7E3A1B6F1A70}"},
        {CLSID_PelloraTrayIcon, "{D7B6DE53-556B-4D15-AFB2-EB8AFD3772DD}"},
        {IID_ISocketServer, "{24052005-6DE7-4FE6-B9B0-F4B5544188DE}"},
        {IID_IPellora, "{ED165CEB-681D-4759-97B5-900F6FA80955}"},
        {IID_IMenu, "{2200A134-C151-4AE2-B87A-498931421E33}"},
        {IID_IHTTPResponse, "{90092C5A-23EC-4177-945F-54A8F58E17B1}"},
        {IID_IRequest, "{85216118-1C3D-4EB5-B55A-090C40D39D12}"},
        {IID_IUserObject, "{D1FA6283-83E4-40B8-A759-E735A17B750A}"},
        {IID_ICorvane_Reserved, "{1F21888D-2298-48E0-B98A-3F94D673277F}"},
        {IID_IActiveScriptSite, "{DB01A1E3-A42B-11CF-8F20-00805F2CD064}"},
        {CATID_ActiveScriptParse, "{F0B7A1A2-9847-11CF-8F20-00805F2CD064}"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GUID2String(c.guid), c.text);

    // Site records store class ids in COM's byte layout.
    const std::array<BYTE, 16> textPage = {0x84, 0x63, 0xF0, 0xDB, 0x00, 0xC9, 0xF1, 0x40,
                                           0xAC, 0x8C, 0xA3, 0x47, 0xFA, 0x2F, 0x4F, 0xEF};
    EXPECT_EQ(CLSID_TextPage.ToBytes(), textPage);
    const std::array<BYTE, 16> asaEntity = {0xFB, 0x57, 0x98, 0x47, 0xD7, 0xEE, 0xE3, 0x41,
                                            0xA4, 0xC2, 0xD6, 0x9A, 0x9E, 0xEE, 0xB3, 0xE5};
    EXPECT_EQ(CLSID_ASAEntity.ToBytes(), asaEntity);
}

TEST(Identifiers, ProgIdsAreUniqueAndVersionedByOne) {
    std::set<std::u16string_view> progIds;
    std::set<GUID> classes;
    for (const ProgIdEntry& p : AllProgIds()) {
        EXPECT_TRUE(classes.insert(*p.clsid).second) << p.description;
        EXPECT_TRUE(progIds.insert(p.versionIndependent).second) << p.description;
        EXPECT_TRUE(progIds.insert(p.versioned).second) << p.description;
        EXPECT_EQ(std::u16string(p.versionIndependent) + u".1", p.versioned) << p.description;
    }
    EXPECT_EQ(PROGID_Server, u"Corvane.Server");
    EXPECT_EQ(PROGID_PelloraTrayIcon1, u"Pellora.TrayIcon.1");
}

TEST(Identifiers, DispatchIdsAndEnumsAreThePublishedOnes) {
    struct Case {
        long actual;
        long expected;
        const char* what;
    };
    const Case cases[] = {
        {DISPID_IREQUEST_ITEM, 0, "IRequest.Item"},
        {DISPID_IREQUEST_QUERYSTRING, 1, "IRequest.QueryString"},
        {DISPID_IREQUEST_SERVERVARIABLES, 4, "IRequest.ServerVariables"},
        {DISPID_IREQUESTDICTIONARY_NEWENUM, -4, "IRequestDictionary._NewEnum"},
        {DISPID_IRESPONSE_WRITEBLOCK, 11, "IResponse.WriteBlock"},
        {DISPID_IRESPONSE_LCID, 16, "IResponse.LCID"},
        {DISPID_IAPPLICATION_UNLOCK, 2, "IApplication.UnLock"},
        {DISPID_IVARIANTDICTIONARY_REMOVEALL, 4, "IVariantDictionary.RemoveAll"},
        {DISPID_ISERVEROBJECT_CHECKURL, 9, "IServerObject.CheckURL"},
        {DISPID_ISTRINGLIST2_REMOVE, 3, "IStringList2.Remove"},
        {DISPID_ISTORAGEOBJECT_EXTERNALSITES, 3, "IStorageObject.ExternalSites"},
        {DISPID_IFILTEROBJECT_HTTPTRANSFER, 3, "IFilterObject.HTTPTransfer"},
        {DISPID_IUSEROBJECT_CODEPAGE, 2, "IUserObject.CodePage"},
        {DISPID_IUSEROBJECT_LOCALURL, 12, "IUserObject.LocalURL"},
        {DISPID_ITRAYICON_TIP, 0, "ITrayIcon.Tip"},
        {DISPID_IMENU_ADDITEM, 1, "IMenu.AddItem"},
        {DISPID_IMENU_ITEMCOUNT, 11, "IMenu.ItemCount"},
        {static_cast<long>(NetworkProtocol::Unrecognised), 0, "Unrecognised"},
        {static_cast<long>(NetworkProtocol::HTTP), 1, "HTTP"},
        {static_cast<long>(NetworkProtocol::SSL2), 4, "SSL2"},
        {static_cast<long>(TrayMessage::IconCallback), 1024, "icon callback"},
        {static_cast<long>(TrayMessage::SetPrivatePort), 1029, "set private port"},
        {static_cast<long>(TrayIconImage::Off), 202, "off icon"},
        {BALLOON_TRAY_OPTIONS, 0x4C05, "balloon options"},
        {HTMLDLG_MODAL, 32, "modal dialog"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.actual, c.expected) << c.what;
}

// Minimal objects that implement the inheriting interfaces: QueryInterface must find
// every base through the interfaces' declared bases.
class CTestEntity : public CComObjectRoot<CTestEntity, IASPEntity> {
public:
    HRESULT Init(LCID, IApplication*, IPage*) override { return S_OK; }
    HRESULT GetLCID(LCID* plcid) override {
        *plcid = 0x409;
        return S_OK;
    }
    HRESULT Close() override { return S_OK; }
    HRESULT Get(IRequest*, IUserObject*, IHTTPResponse*) override { return S_OK; }
    HRESULT GetBlockText(ULONG, BSTR*) override { return E_NOTIMPL; }
    HRESULT End() override { return S_OK; }
};

TEST(Interfaces, DerivedInterfacesAnswerTheirBases) {
    CComPtr<CTestEntity> entity = MakeObject<CTestEntity>();
    ASSERT_TRUE(entity);
    CComPtr<IEntity> base;
    ASSERT_EQ(entity.QueryInterface(base), S_OK);
    LCID lcid = 0;
    EXPECT_EQ(base->GetLCID(&lcid), S_OK);
    EXPECT_EQ(lcid, 0x409u);
    CComPtr<IHTTPEntity> http;
    EXPECT_EQ(entity.QueryInterface(http), S_OK);
    CComPtr<IASPEntity> asp;
    EXPECT_EQ(entity.QueryInterface(asp), S_OK);
    CComPtr<IScriptEntity> script;
    EXPECT_EQ(entity.QueryInterface(script), E_NOINTERFACE);
    EXPECT_FALSE(script);
}

}  // namespace
