// The main thread's message loop: runs posted messages until the quit message.
//
// The main thread does nothing else; the control thread (signals, the service manager)
// only posts to it. Posting is safe from any thread, also before Run and after quit.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class CMessageLoop {
public:
    void Post(std::function<void()> message);
    void PostQuit();
    // Runs until PostQuit; messages posted before the quit run first.
    void Run();

private:
    // Guards the queue and the quit flag; held only to move messages in and out.
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
    bool m_quit = false;
};
