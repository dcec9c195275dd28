#include "Signature.h"

#include <QList>

#include <sodium.h>

#include <algorithm>

namespace {

constexpr QByteArrayView untrustedPrefix = "untrusted comment:";
constexpr QByteArrayView trustedPrefix = "trusted comment: ";
// minisign keeps trusted comments under 8 KiB; anything much longer is not its output.
constexpr qsizetype maxSignatureText = qsizetype(16) * 1024;
constexpr qsizetype keyIdBytes = 8;
constexpr qsizetype algorithmBytes = 2;
constexpr qsizetype hashBytes = crypto_generichash_BYTES_MAX; // minisign prehashes with 64 bytes
static_assert(crypto_generichash_BYTES_MAX == 64);

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

const uchar *bytes(QByteArrayView data)
{
    return reinterpret_cast<const uchar *>(data.data());
}

// The standard alphabet with padding, nothing around it, and exactly `size` bytes.
std::optional<QByteArray> decodeBase64(QByteArrayView text, qsizetype size)
{
    QByteArray bin(size, Qt::Uninitialized);
    size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<uchar *>(bin.data()), size_t(bin.size()), text.data(),
                          size_t(text.size()), nullptr, &length, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        length != size_t(size))
        return std::nullopt;
    return bin;
}

// Lines ended by "\n" or "\r\n"; a final line end is optional.
QList<QByteArray> linesOf(const QByteArray &text)
{
    QList<QByteArray> lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    if (lines.size() > 1 && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

bool verifyDetached(QByteArrayView signature, QByteArrayView message, QByteArrayView key)
{
    return crypto_sign_verify_detached(bytes(signature), bytes(message),
                                       static_cast<unsigned long long>(message.size()),
                                       bytes(key)) == 0;
}

std::optional<QList<int>> versionParts(QStringView version)
{
    const QList<QStringView> parts = version.split(u'.');
    if (parts.size() > 4)
        return std::nullopt;
    QList<int> numbers;
    for (const QStringView part : parts) {
        const bool digits =
            !part.isEmpty() && part.size() <= 9 &&
            std::all_of(part.begin(), part.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (!digits || (part.size() > 1 && part.front() == u'0'))
            return std::nullopt;
        numbers << part.toInt();
    }
    return numbers;
}

} // namespace

std::optional<PublicKey> parsePublicKey(const QString &text, QString *error)
{
    const auto fail = [error](const QString &why) -> std::optional<PublicKey> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (text.trimmed().isEmpty())
        return fail(QStringLiteral("there is no public key"));
    QList<QByteArray> lines = linesOf(text.toUtf8().trimmed());
    if (lines.size() == 2 && lines.constFirst().startsWith(untrustedPrefix))
        lines.removeFirst();
    const auto blob = lines.size() == 1
                          ? decodeBase64(lines.constFirst().trimmed(),
                                         algorithmBytes + keyIdBytes + crypto_sign_PUBLICKEYBYTES)
                          : std::nullopt;
    if (!blob || !blob->startsWith("Ed"))
        return fail(QStringLiteral("the public key is malformed"));
    return PublicKey{blob->sliced(algorithmBytes, keyIdBytes),
                     blob->sliced(algorithmBytes + keyIdBytes)};
}

std::optional<PublicKey> updatePublicKey(QString *error)
{
    const QString text = QStringLiteral(AMBREL_UPDATE_PUBLIC_KEY);
    if (text.isEmpty())
        return std::nullopt; // not an error: such a build does not update itself
    return parsePublicKey(text, error);
}

struct SignatureCheck::State {
    QByteArray key;
    QByteArray signature;
    QByteArray trustedComment;
    bool prehashed = false;
    bool finished = false;
    crypto_generichash_state hash;
    QByteArray message; // legacy signatures only
};

SignatureCheck::SignatureCheck(const PublicKey &key, const QString &minisigText)
    : m_state(std::make_unique<State>()), m_error(begin(key, minisigText))
{}

QString SignatureCheck::begin(const PublicKey &key, const QString &minisigText)
{
    const auto fail = [](const char *why) {
        return QString::fromLatin1(why);
    };
    if (!sodiumReady())
        return fail("libsodium cannot be initialised");
    if (key.keyId.size() != keyIdBytes || key.key.size() != crypto_sign_PUBLICKEYBYTES)
        return fail("the public key is malformed");
    if (minisigText.trimmed().isEmpty())
        return fail("the archive is not signed");

    const QByteArray text = minisigText.toUtf8();
    const QList<QByteArray> lines = linesOf(text);
    if (text.size() > maxSignatureText || lines.size() != 4 ||
        !lines[0].startsWith(untrustedPrefix) || !lines[2].startsWith(trustedPrefix))
        return fail("the signature is malformed");
    const auto blob = decodeBase64(lines[1], algorithmBytes + keyIdBytes + crypto_sign_BYTES);
    const auto global = decodeBase64(lines[3], crypto_sign_BYTES);
    if (!blob || !global)
        return fail("the signature is malformed");

    const QByteArrayView algorithm = QByteArrayView(*blob).first(algorithmBytes);
    if (algorithm != "ED" && algorithm != "Ed")
        return fail("the signature uses an unknown algorithm");
    if (blob->sliced(algorithmBytes, keyIdBytes) != key.keyId)
        return fail("signed with another key");

    State &s = *m_state;
    s.key = key.key;
    s.signature = blob->sliced(algorithmBytes + keyIdBytes);
    s.trustedComment = lines[2].sliced(trustedPrefix.size());
    // The global signature binds the trusted comment to this file signature.
    if (!verifyDetached(*global, s.signature + s.trustedComment, s.key))
        return fail("the trusted comment does not match the signature");
    s.prehashed = algorithm == "ED";
    if (s.prehashed)
        crypto_generichash_init(&s.hash, nullptr, 0, hashBytes);
    return {};
}

SignatureCheck::~SignatureCheck() = default;

QString SignatureCheck::trustedComment() const
{
    return isValid() ? QString::fromUtf8(m_state->trustedComment) : QString();
}

void SignatureCheck::addData(QByteArrayView chunk)
{
    State &s = *m_state;
    if (!isValid() || s.finished)
        return;
    if (s.prehashed) {
        crypto_generichash_update(&s.hash, bytes(chunk), chunk.size());
    } else if (s.message.size() + chunk.size() > legacyLimit) {
        s.message = QByteArray();
        m_error = QStringLiteral("a legacy signature cannot cover an archive over %1 MiB")
                      .arg(legacyLimit / (qsizetype(1024) * 1024));
    } else {
        s.message.append(chunk);
    }
}

std::optional<VerifiedSignature> SignatureCheck::finish(QString *error)
{
    State &s = *m_state;
    if (isValid() && s.finished)
        m_error = QStringLiteral("the signature check was already finished");
    if (isValid()) {
        s.finished = true;
        bool matches = false;
        if (s.prehashed) {
            uchar digest[hashBytes];
            crypto_generichash_final(&s.hash, digest, sizeof digest);
            matches = verifyDetached(s.signature, QByteArrayView(digest, hashBytes), s.key);
        } else {
            matches = verifyDetached(s.signature, s.message, s.key);
            s.message = QByteArray();
        }
        if (!matches)
            m_error = QStringLiteral("the signature does not match the archive");
    }
    if (!isValid()) {
        if (error)
            *error = m_error;
        return std::nullopt;
    }
    return VerifiedSignature{QString::fromUtf8(s.trustedComment)};
}

std::optional<QString> versionInTrustedComment(const QString &trustedComment)
{
    const QLatin1String prefix("ambrel ");
    if (!trustedComment.startsWith(prefix))
        return std::nullopt;
    const QString version = trustedComment.sliced(prefix.size());
    if (!versionParts(version))
        return std::nullopt;
    return version;
}

bool isNewerVersion(const QString &candidate, const QString &running)
{
    const auto a = versionParts(candidate);
    const auto b = versionParts(running);
    if (!a || !b)
        return false;
    for (qsizetype i = 0; i < 4; ++i) {
        if (a->value(i) != b->value(i))
            return a->value(i) > b->value(i);
    }
    return false;
}
