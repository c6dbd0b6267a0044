#pragma once

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QThread>
#include <QWidget>
#include <functional>

#include "support/CAppEnvironment.h"
#include "ui/CSettingBinding.h"

// Small pieces every settings page builds its controls from.

inline CSettings& PageSettings() {
    return CAppEnvironment::Instance()->GetSettings();
}

// A line edit, bound to the binding tables' row id unless id is 0.
inline QLineEdit* PageEdit(const char* name, int id, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    if (id != 0) {
        CSettingBinding::Bind(edit, id);
    }
    return edit;
}

// A push button that never becomes the dialog's default by taking the focus,
// so Enter keeps pressing OK.
inline QPushButton* PageButton(const QString& text, const char* name, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

// Runs job on a thread of its own while page's whole window waits with a busy
// cursor: nothing can close the window under the job, and the window still
// paints.
inline void RunWithWindowWaiting(QWidget* page, std::function<void()> job) {
    page->window()->setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    QThread* worker = QThread::create(std::move(job));
    QEventLoop wait;
    QObject::connect(worker, &QThread::finished, &wait, &QEventLoop::quit);
    worker->start();
    wait.exec();
    worker->wait();
    delete worker;
    QApplication::restoreOverrideCursor();
    page->window()->setEnabled(true);
}
