// Checks of minisign signatures on update archives, and of the version a signature vouches for.
//
// A release is signed with `minisign -Sm ambrel-0.2.0.tar.gz -t "ambrel 0.2.0"`; the feed
// carries the whole text of the .minisig file. The trusted comment is signed along with the
// archive, so the version in it can be believed where the feed's "name" cannot.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <memory>
#include <optional>

struct PublicKey {
    QByteArray keyId; // 8 bytes, as stored in the key and in its signatures
    QByteArray key;   // 32 bytes, Ed25519
};

// The base64 line of a minisign .pub file, or the whole file with its untrusted comment.
std::optional<PublicKey> parsePublicKey(const QString &text, QString *error = nullptr);

// The key built in with the cache variable AMBREL_UPDATE_PUBLIC_KEY; none, and no error, when
// it was empty.
std::optional<PublicKey> updatePublicKey(QString *error = nullptr);

struct VerifiedSignature {
    // The publisher's text; it has passed the signature, but escape it before logging it.
    QString trustedComment;
};

// Checks a file fed in chunks against the text of a .minisig file. The signature's form, its key
// and its trusted comment are checked at construction, so a bad signature is known before any
// data is fed. Prehashed signatures ("ED", what minisign 0.11 writes) need constant memory;
// legacy ones ("Ed") sign the file itself, so they keep it in memory and are refused for files
// over legacyLimit.
class SignatureCheck {
public:
    static constexpr qsizetype legacyLimit = qsizetype(16) * 1024 * 1024;

    SignatureCheck(const PublicKey &key, const QString &minisigText);
    ~SignatureCheck();
    SignatureCheck(const SignatureCheck &) = delete;
    SignatureCheck &operator=(const SignatureCheck &) = delete;

    bool isValid() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    // The trusted comment, already bound to the signature by its global signature: the
    // version it names is the publisher's before a byte of the file is read. Empty when the
    // signature is not valid.
    QString trustedComment() const;

    void addData(QByteArrayView chunk);
    // The verdict on everything fed; call it once.
    std::optional<VerifiedSignature> finish(QString *error = nullptr);

private:
    QString begin(const PublicKey &key, const QString &minisigText);

    struct State;
    std::unique_ptr<State> m_state; // before m_error: begin() fills it
    QString m_error;
};

// "ambrel 0.2.0" gives "0.2.0"; anything but "ambrel " and a version gives none.
std::optional<QString> versionInTrustedComment(const QString &trustedComment);

// Dotted numeric versions of one to four parts, missing parts counting as 0: 0.10.0 is newer than
// 0.9.9. A malformed version on either side is never newer.
bool isNewerVersion(const QString &candidate, const QString &running);
