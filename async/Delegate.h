// Delegates: an object bound to one of its member operations, type-erased over the class.
//
// A delegate is two words: a small generated invoker for the (class, member) pair and
// the object pointer, which it neither owns nor counts. Queued calls and wait callbacks
// hold delegates so that the thread pool never needs to know the classes it calls into.
#pragma once

template <class R>
class CDelegate_0 {
public:
    template <auto Member, class T>
    static CDelegate_0 Bind(T* object) {
        CDelegate_0 d;
        d.m_invoker = [](void* o) -> R { return (static_cast<T*>(o)->*Member)(); };
        d.m_object = object;
        return d;
    }
    R operator()() const { return m_invoker(m_object); }
    explicit operator bool() const { return m_invoker != nullptr; }

private:
    R (*m_invoker)(void*) = nullptr;
    void* m_object = nullptr;
};

template <class R, class A1>
class CDelegate_1 {
public:
    template <auto Member, class T>
    static CDelegate_1 Bind(T* object) {
        CDelegate_1 d;
        d.m_invoker = [](void* o, A1 a1) -> R { return (static_cast<T*>(o)->*Member)(a1); };
        d.m_object = object;
        return d;
    }
    R operator()(A1 a1) const { return m_invoker(m_object, a1); }
    explicit operator bool() const { return m_invoker != nullptr; }

private:
    R (*m_invoker)(void*, A1) = nullptr;
    void* m_object = nullptr;
};

template <class R, class A1, class A2>
class CDelegate_2 {
public:
    template <auto Member, class T>
    static CDelegate_2 Bind(T* object) {
        CDelegate_2 d;
        d.m_invoker = [](void* o, A1 a1, A2 a2) -> R {
            return (static_cast<T*>(o)->*Member)(a1, a2);
        };
        d.m_object = object;
        return d;
    }
    R operator()(A1 a1, A2 a2) const { return m_invoker(m_object, a1, a2); }
    explicit operator bool() const { return m_invoker != nullptr; }

private:
    R (*m_invoker)(void*, A1, A2) = nullptr;
    void* m_object = nullptr;
};

template <class R, class A1, class A2, class A3>
class CDelegate_3 {
public:
    template <auto Member, class T>
    static CDelegate_3 Bind(T* object) {
        CDelegate_3 d;
        d.m_invoker = [](void* o, A1 a1, A2 a2, A3 a3) -> R {
            return (static_cast<T*>(o)->*Member)(a1, a2, a3);
        };
        d.m_object = object;
        return d;
    }
    R operator()(A1 a1, A2 a2, A3 a3) const { return m_invoker(m_object, a1, a2, a3); }
    explicit operator bool() const { return m_invoker != nullptr; }

private:
    R (*m_invoker)(void*, A1, A2, A3) = nullptr;
    void* m_object = nullptr;
};

// The shape of the socket reader's handler: error, socket, buffer, end of stream, and
// the handler's answer whether it keeps the buffer.
template <class R, class A1, class A2, class A3, class A4, class A5>
class CDelegate_5 {
public:
    template <auto Member, class T>
    static CDelegate_5 Bind(T* object) {
        CDelegate_5 d;
        d.m_invoker = [](void* o, A1 a1, A2 a2, A3 a3, A4 a4, A5 a5) -> R {
            return (static_cast<T*>(o)->*Member)(a1, a2, a3, a4, a5);
        };
        d.m_object = object;
        return d;
    }
    R operator()(A1 a1, A2 a2, A3 a3, A4 a4, A5 a5) const {
        return m_invoker(m_object, a1, a2, a3, a4, a5);
    }
    explicit operator bool() const { return m_invoker != nullptr; }

private:
    R (*m_invoker)(void*, A1, A2, A3, A4, A5) = nullptr;
    void* m_object = nullptr;
};
