#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>
#include <functional>
#include <memory>

// Answers modal windows that a test's action opens: each answer waits (in
// 10 ms steps, at most timeoutMs) for a new modal window and hands it to its
// function. Answers are used in the order given.
class ModalAnswer {
public:
    using Answer = std::function<void(QWidget*)>;

    explicit ModalAnswer(int timeoutMs = 8000) : m_timeoutMs(timeoutMs) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
        m_timer.start(10);
    }

    ModalAnswer& Then(Answer answer) {
        m_answers.push_back(std::move(answer));
        return *this;
    }
    // Presses a standard button of a message box, ticking its check box first
    // when tick is true; the box's title and text are kept.
    ModalAnswer& Press(QMessageBox::StandardButton button, bool tick = false) {
        return Then([this, button, tick](QWidget* window) {
            auto* box = qobject_cast<QMessageBox*>(window);
            if (box == nullptr) {
                m_seen.push_back(QStringLiteral("<not a message box: ") + window->objectName() +
                                 QStringLiteral(">"));
                window->close();
                return;
            }
            m_seen.push_back(box->windowTitle() + QStringLiteral("|") + box->text());
            if (tick && box->checkBox() != nullptr) {
                box->checkBox()->setChecked(true);
            }
            if (QAbstractButton* pressed = box->button(button)) {
                pressed->click();
            } else {
                m_seen.back() += QStringLiteral("|<no such button>");
                box->close();
            }
        });
    }

    bool AllUsed() const { return m_next == m_answers.size(); }
    // "title|text" of every message box answered.
    const QStringList& Seen() const { return m_seen; }

private:
    void Poll() {
        m_elapsedMs += 10;
        if (m_next >= m_answers.size() || m_elapsedMs > m_timeoutMs) {
            if (m_elapsedMs > m_timeoutMs) {
                m_timer.stop();
            }
            return;
        }
        QWidget* modal = QApplication::activeModalWidget();
        // A busy indication is no question to answer.
        if (modal == nullptr || !modal->isVisible() || modal->property("iwAnswered").toBool() ||
            qobject_cast<QProgressDialog*>(modal) != nullptr) {
            return;
        }
        modal->setProperty("iwAnswered", true);
        Answer answer = m_answers[m_next++];
        answer(modal);
    }

    QTimer m_timer;
    int m_timeoutMs;
    int m_elapsedMs = 0;
    size_t m_next = 0;
    std::vector<Answer> m_answers;
    QStringList m_seen;
};
