#include "ui/CDesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// Ids are kept for the actions of the latest notifications only.
constexpr int kMaxRemembered = 64;

}  // namespace

CDesktopNotifier::CDesktopNotifier(QObject* parent) : QObject(parent) {
    QDBusConnection::sessionBus().connect(kService, kPath, kInterface,
                                          QStringLiteral("ActionInvoked"), this,
                                          SLOT(OnActionInvoked(uint, QString)));
    // Whether the body is read as markup ("body-markup"), asked once.
    QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                      QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(ask), this);
    connect(
        watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* done) {
            QDBusPendingReply<QStringList> reply = *done;
            m_markup = !reply.isError() && reply.value().contains(QStringLiteral("body-markup"));
            done->deleteLater();
        });
}

bool CDesktopNotifier::Available() const {
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() && bus.interface() != nullptr &&
           bus.interface()->isServiceRegistered(kService).value();
}

bool CDesktopNotifier::Notify(const QString& summary, const QString& body,
                              const QStringList& actions) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return false;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // Body text is markup to many servers: "Bob <bob@x.org>" is not.
    QString plain = m_markup ? body.toHtmlEscaped() : body;
    call << QStringLiteral("InboxWarden") << uint(0) << QStringLiteral("mail-unread") << summary
         << plain << actions << QVariantMap() << int(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    ++m_waiting;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* done) {
                QDBusPendingReply<uint> reply = *done;
                --m_waiting;
                if (!reply.isError()) {
                    if (m_ours.size() >= kMaxRemembered) {
                        m_ours.clear();
                    }
                    m_ours.insert(reply.value());
                }
                // Actions that came in before this id did.
                QList<QPair<uint, QString>> early;
                early.swap(m_early);
                for (const auto& [id, key] : early) {
                    if (m_ours.contains(id)) {
                        emit ActionInvoked(key);
                    } else if (m_waiting > 0) {
                        m_early.push_back({id, key});
                    }
                }
                done->deleteLater();
            });
    return true;
}

void CDesktopNotifier::OnActionInvoked(uint id, const QString& key) {
    if (m_ours.contains(id)) {
        emit ActionInvoked(key);
    } else if (m_waiting > 0 && m_early.size() < kMaxRemembered) {
        // The signal can overtake the reply that tells the id.
        m_early.push_back({id, key});
    }
}
