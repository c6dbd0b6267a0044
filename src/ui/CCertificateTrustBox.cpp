#include "ui/CCertificateTrustBox.h"

#include <QPushButton>

CCertificateTrustBox::CCertificateTrustBox(QWidget* parent, const QString& server,
                                           const CTlsSession::PeerCertificate& certificate)
    : QMessageBox(parent) {
    setObjectName(QStringLiteral("certificateTrustBox"));
    setWindowTitle(QStringLiteral("Certificate not trusted"));
    setIcon(QMessageBox::Warning);
    auto text = [](const std::string& value) {
        return QString::fromStdString(value).toHtmlEscaped();
    };
    QString lead = certificate.changed
                       ? QStringLiteral(
                             "The certificate of %1 is not the one you trusted before. If the "
                             "server's administrator did not tell you it was replaced, someone "
                             "may be listening in: do not trust it.")
                       : QStringLiteral(
                             "No authority your system knows vouches for the certificate of %1 "
                             "(it may be self-signed, as on many small and company servers). "
                             "Trust it only if its fingerprint is the one your administrator "
                             "gave you.");
    setTextFormat(Qt::RichText);
    setText(lead.arg(server.toHtmlEscaped()) +
            QStringLiteral("<table><tr><td>Subject:</td><td>%1</td></tr>"
                           "<tr><td>Issuer:</td><td>%2</td></tr>"
                           "<tr><td>Valid:</td><td>%3 to %4</td></tr>"
                           "<tr><td>SHA-256:</td><td><tt>%5</tt></td></tr></table>")
                .arg(text(certificate.subject), text(certificate.issuer),
                     text(certificate.notBefore), text(certificate.notAfter),
                     text(certificate.sha256)));
    m_trust = addButton(QStringLiteral("&Trust this certificate for this server"),
                        QMessageBox::AcceptRole);
    m_trust->setObjectName(QStringLiteral("trustCertificate"));
    QPushButton* cancel = addButton(QMessageBox::Cancel);
    setDefaultButton(cancel);
    setEscapeButton(cancel);
}

bool CCertificateTrustBox::Ask(QWidget* parent, const QString& server,
                               const CTlsSession::PeerCertificate& certificate) {
    CCertificateTrustBox box(parent, server, certificate);
    box.exec();
    return box.clickedButton() == box.m_trust;
}
