// Message loop of the main thread.
#include "service/MessageLoop.h"

#include "com/DiagnosticLog.h"

void CMessageLoop::Post(std::function<void()> message) {
    {
        std::lock_guard guard(m_lock);
        m_queue.push_back(std::move(message));
    }
    m_cv.notify_one();
}

void CMessageLoop::PostQuit() {
    {
        std::lock_guard guard(m_lock);
        m_quit = true;
    }
    m_cv.notify_one();
}

void CMessageLoop::Run() {
    for (;;) {
        std::function<void()> message;
        {
            std::unique_lock lock(m_lock);
            m_cv.wait(lock, [this] { return m_quit || !m_queue.empty(); });
            if (m_queue.empty()) return;
            message = std::move(m_queue.front());
            m_queue.pop_front();
        }
        try {
            message();
        } catch (...) {
            ReportException("CMessageLoop::Run", CV_HERE);
        }
    }
}
