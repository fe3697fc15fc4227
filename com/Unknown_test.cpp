// Reference counting, QueryInterface and object creation.
#include "com/Unknown.h"

#include <gtest/gtest.h>

namespace {

struct IAnimal : IUnknown {
    DECLARE_IID("{11111111-0000-0000-0000-000000000001}");
    virtual int Legs() = 0;
};
struct IBird : IAnimal {
    DECLARE_IID("{11111111-0000-0000-0000-000000000002}");
    using Bases = std::tuple<IAnimal>;
    virtual bool Flies() = 0;
};
struct INamed : IUnknown {
    DECLARE_IID("{11111111-0000-0000-0000-000000000003}");
    virtual const char* Name() = 0;
};

int g_released = 0;

class CSparrow : public CComObjectRoot<CSparrow, IBird, INamed> {
public:
    explicit CSparrow(bool failConstruct = false) : m_fail(failConstruct) {}
    HRESULT FinalConstruct() { return m_fail ? E_OUTOFMEMORY : S_OK; }
    void FinalRelease() { ++g_released; }
    int Legs() override { return 2; }
    bool Flies() override { return true; }
    const char* Name() override { return "sparrow"; }

private:
    bool m_fail;
};

TEST(Unknown, QueryInterfaceFindsInterfacesAndTheirBases) {
    g_released = 0;
    {
        CComPtr<CSparrow> bird = MakeObject<CSparrow>();
        ASSERT_TRUE(bird);
        EXPECT_EQ(bird->RefCount(), 1u);
        CComPtr<IAnimal> animal = ComQuery<IAnimal>(bird.Get());
        ASSERT_TRUE(animal);
        EXPECT_EQ(animal->Legs(), 2);
        CComPtr<INamed> named;
        EXPECT_EQ(animal.QueryInterface(named), S_OK);
        EXPECT_STREQ(named->Name(), "sparrow");
        // Identity: IUnknown is the same pointer whichever interface asks.
        EXPECT_EQ(ComQuery<IUnknown>(named.Get()), ComQuery<IUnknown>(animal.Get()));
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(bird->QueryInterface(MakeGUID("{11111111-0000-0000-0000-0000000000FF}"), &p),
                  E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(bird->RefCount(), 3u);
    }
    EXPECT_EQ(g_released, 1);
}

TEST(Unknown, FailedFinalConstructGivesNothing) {
    g_released = 0;
    HRESULT hr = S_OK;
    CComPtr<CSparrow> bird = MakeObject<CSparrow>(&hr, true);
    EXPECT_FALSE(bird);
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(g_released, 1);
}

TEST(Unknown, SmartPointerCopiesMovesAndDetaches) {
    CComPtr<CSparrow> a = MakeObject<CSparrow>();
    CComPtr<CSparrow> b = a;
    EXPECT_EQ(a->RefCount(), 2u);
    CComPtr<CSparrow> c = std::move(b);
    EXPECT_FALSE(b);
    EXPECT_EQ(a->RefCount(), 2u);
    CSparrow* raw = c.Detach();
    EXPECT_EQ(a->RefCount(), 2u);
    CComPtr<CSparrow> d;
    d.Attach(raw);
    d = nullptr;
    EXPECT_EQ(a->RefCount(), 1u);
}

}  // namespace
