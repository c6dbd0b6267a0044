#pragma once

#include <QMessageBox>
#include <QString>

#include "mail/CTlsSession.h"

// Shows a certificate the server test refused (subject, issuer, dates and
// SHA-256 fingerprint) and offers to trust it, by that fingerprint, for the
// one server it came from. Offered only for certificates refused because
// nothing vouches for them, never for expired ones or a wrong host name.
class CCertificateTrustBox : public QMessageBox {
    Q_OBJECT

public:
    CCertificateTrustBox(QWidget* parent, const QString& server,
                         const CTlsSession::PeerCertificate& certificate);

    // True when the user chose to trust it.
    static bool Ask(QWidget* parent, const QString& server,
                    const CTlsSession::PeerCertificate& certificate);

private:
    QAbstractButton* m_trust = nullptr;
};
