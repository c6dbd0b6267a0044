#pragma once

#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

// Desktop notifications through the freedesktop Notifications service on
// the session bus, which desktops without a system tray (GNOME) show. Calls
// never wait for the service: the id of a notification arrives later, and
// an action the user clicks comes back as ActionInvoked.
class CDesktopNotifier : public QObject {
    Q_OBJECT

public:
    explicit CDesktopNotifier(QObject* parent = nullptr);

    // True when a notification service is running on the session bus.
    bool Available() const;
    // actions: pairs of key and label ("review", "Review"). False when no
    // session bus is there to take the call.
    bool Notify(const QString& summary, const QString& body,
                const QStringList& actions = QStringList());

signals:
    // The user chose an action of one of our notifications.
    void ActionInvoked(const QString& key);

private slots:
    void OnActionInvoked(uint id, const QString& key);

private:
    // Ids of our notifications; other programs' share the signal.
    QSet<uint> m_ours;
    // Notify calls not answered yet, and the actions that arrived meanwhile.
    int m_waiting = 0;
    QList<QPair<uint, QString>> m_early;
    // Until the service answers, escaping is the safe guess.
    bool m_markup = true;
};
