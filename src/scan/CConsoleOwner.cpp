#include "scan/CConsoleOwner.h"

#include <signal.h>
#include <unistd.h>

#include "support/DesktopOpen.h"

std::string CConsoleOwner::TerminalLine(const std::string& text) {
    size_t start = 0;
    if (!text.empty() && text[0] == '.') {
        start = 1;
    }
    while (start < text.size() && (text[start] == '\n' || text[start] == '\r')) {
        ++start;
    }
    std::string line = text.substr(start);
    for (auto& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return line;
}

void CConsoleOwner::OnStatus(int levels, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    std::string line = TerminalLine(text);
    if (line.empty()) {
        return;
    }
    if (levels & SL_PendingWarning) {
        fprintf(m_err, "Warning: %s\n", line.c_str());
    } else {
        fprintf(m_out, "%s\n", line.c_str());
    }
    fflush(m_out);
}

void CConsoleOwner::OnProgressRange(int line, int maximum) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (line == PL_Accounts) {
        m_accounts = maximum;
    }
}

void CConsoleOwner::OnProgress(int line, int position) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (line == PL_Accounts && position < m_accounts) {
        fprintf(m_out, "[account %d/%d]\n", position + 1, m_accounts);
        fflush(m_out);
    }
}

void CConsoleOwner::OnScanStarted() {
    std::lock_guard<std::mutex> guard(m_lock);
    fprintf(m_out, "Scanning...\n");
    fflush(m_out);
}

void CConsoleOwner::OnScanDone(int newLeftOnServer, int newMessages) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        fprintf(m_out, "%d new Friendly emails, %d new emails\n", newLeftOnServer, newMessages);
        fflush(m_out);
    }
    ++m_scansDone;
    Wake();
}

void CConsoleOwner::Wake() {
    if (m_wakeSignal != 0) {
        kill(getpid(), m_wakeSignal);
    }
}

void CConsoleOwner::OnNewMail(int, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    fprintf(m_out, "%s\n", text.c_str());
    fflush(m_out);
}

void CConsoleOwner::OnDatabaseError(const std::string& caption, const std::string& text) {
    std::lock_guard<std::mutex> guard(m_lock);
    fprintf(m_err, "%s: %s\n", caption.c_str(), text.c_str());
    fflush(m_err);
}

void CConsoleOwner::OnCloseProgram() {
    std::lock_guard<std::mutex> guard(m_lock);
    fprintf(m_out, "Shutting down on request.\n");
    m_closeRequested = true;
    Wake();
}

bool CConsoleOwner::OnOpenWithDesktop(const std::string& target) {
    return OpenWithDesktop(target);
}
