// Queued calls: a member operation and its argument values, bound now and invoked later
// on a pool thread.
//
// `CAsyncCall::CreateCall<&CPassthru::Term>(this)` makes a call object; the caller owns
// it until `CAsyncThreadPool::QueueCall` accepts it, and the pool deletes it after
// `Invoke`. The target object is not counted: whoever queues a call keeps its target
// alive until the call has run (the asynchronous objects own themselves).
#pragma once

#include <functional>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "com/DiagnosticLog.h"

class CAsyncCall {
public:
    virtual ~CAsyncCall() = default;
    virtual void Invoke() = 0;

    // Binds `object->*Member(args...)`; the arguments are copied into the call. Returns
    // null (and logs) when the call cannot be made.
    template <auto Member, class T, class... Args>
    static std::unique_ptr<CAsyncCall> CreateCall(T* object, Args... args);

    // A call of any function object, for code that has no member to bind.
    static std::unique_ptr<CAsyncCall> CreateFunctionCall(std::function<void()> fn);
};

// A member call holding its argument values; CAsyncCall_0/1/2 name the one-, two- and
// three-word shapes the program uses.
template <auto Member, class T, class... Args>
class CAsyncMemberCall final : public CAsyncCall {
public:
    CAsyncMemberCall(T* object, Args... args) : m_object(object), m_args(std::move(args)...) {}
    void Invoke() override {
        std::apply([this](auto&... a) { (m_object->*Member)(a...); }, m_args);
    }

private:
    T* m_object;
    std::tuple<Args...> m_args;
};

template <class T, auto Member>
using CAsyncCall_0 = CAsyncMemberCall<Member, T>;
template <class T, class A1, auto Member>
using CAsyncCall_1 = CAsyncMemberCall<Member, T, A1>;
template <class T, class A1, class A2, auto Member>
using CAsyncCall_2 = CAsyncMemberCall<Member, T, A1, A2>;

class CAsyncFunctionCall final : public CAsyncCall {
public:
    explicit CAsyncFunctionCall(std::function<void()> fn) : m_fn(std::move(fn)) {}
    void Invoke() override { m_fn(); }

private:
    std::function<void()> m_fn;
};

template <auto Member, class T, class... Args>
std::unique_ptr<CAsyncCall> CAsyncCall::CreateCall(T* object, Args... args) {
    try {
        return std::make_unique<CAsyncMemberCall<Member, T, Args...>>(object, std::move(args)...);
    } catch (...) {
        static constexpr const char* kOperation[] = {
            "CAsyncCall::CreateCall with 0 parameters", "CAsyncCall::CreateCall with 1 parameters",
            "CAsyncCall::CreateCall with 2 parameters", "CAsyncCall::CreateCall with 3 parameters"};
        constexpr std::size_t n = sizeof...(Args) < 3 ? sizeof...(Args) : 3;
        ReportException(kOperation[n], CV_HERE);
        return nullptr;
    }
}

inline std::unique_ptr<CAsyncCall> CAsyncCall::CreateFunctionCall(std::function<void()> fn) {
    try {
        return std::make_unique<CAsyncFunctionCall>(std::move(fn));
    } catch (...) {
        ReportException("CAsyncCall::CreateFunctionCall", CV_HERE);
        return nullptr;
    }
}
