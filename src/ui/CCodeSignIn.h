#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

// The window's sign-in for a machine without a browser: the device sign-in
// of one account on a thread of its own. What it says (the address and the
// code) and how it ends come queued on the owner's thread; a cancelled or
// replaced run reports nothing. Destroying the object cancels and joins.
class CCodeSignIn : public QObject {
    Q_OBJECT

public:
    explicit CCodeSignIn(QObject* parent = nullptr);
    ~CCodeSignIn() override;

    // Tests shorten the poll interval (milliseconds per second the server asks).
    void SetSecondLength(int milliseconds) { m_secondMs = milliseconds; }
    void Start(const std::string& profile, const std::string& account);
    void Cancel();
    bool IsRunning() const { return m_running; }

signals:
    void Said(const QString& text);
    // ok: "Signed in as ADDRESS"; else why not.
    void Finished(bool ok, const QString& text);

private:
    struct Job {
        std::atomic<bool> abort{false};
    };

    std::shared_ptr<Job> m_job;
    std::thread m_thread;
    bool m_running = false;
    int m_secondMs = 1000;
};
