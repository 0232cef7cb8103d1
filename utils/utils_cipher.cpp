// String encryption with the client's fixed key: SM4-ECB, text as UTF-8, cipher as hexadecimal.
#include "sm4.h"
#include "utils.h"

namespace {
const char *const FixedKey = "73QKRTbWmuPLxvF8";
// ECB does not chain; the IV only has to pass the byte-string cipher's length check.
const char *const FixedIv = "mmqtyrrrbnhjklss";
constexpr int BlockSize = 16;
// The hexadecimal text of the cipher (four bytes per plain byte) must fit in one string.
constexpr int MaxPlainLength = 256 * 1024 * 1024;

sm4 fixedCipher()
{
    sm4 cipher;
    cipher.setType(sm4::ECB);
    cipher.setKey(FixedKey);
    cipher.setIv(FixedIv);
    return cipher;
}

// What sm4 in ECB mode with the fixed key gives for the text's bytes, as lower-case hexadecimal,
// built block by block on the block layer: the result is the only buffer of the call.
template <typename ByteAt> QString encryptedHex(int length, ByteAt byteAt)
{
    // Padding as the byte-string cipher adds it: a whole block when the text fills its blocks.
    const int padded = BlockSize * (length / BlockSize) + BlockSize;
    const auto pad = (unsigned char)(padded - length);
    sm4_ctx ctx;
    sm4_setkey_enc(&ctx, reinterpret_cast<const unsigned char *>(FixedKey));

    // A few blocks at a time, so that the block layer can work on two side by side.
    constexpr int Chunk = 8 * BlockSize;
    static const char digits[] = "0123456789abcdef";
    QString hex(2 * padded, Qt::Uninitialized);
    QChar *out = hex.data();
    unsigned char chunk[Chunk];
    for (int offset = 0; offset < padded; offset += Chunk) {
        const int size = qMin(Chunk, padded - offset);
        if (offset + size <= length) {
            for (int i = 0; i < size; ++i)
                chunk[i] = byteAt(offset + i);
        } else {
            for (int i = 0; i < size; ++i)
                chunk[i] = offset + i < length ? byteAt(offset + i) : pad;
        }
        sm4_crypt_ecb(&ctx, 1, size, chunk, chunk);
        for (int i = 0; i < size; ++i) {
            *out++ = QLatin1Char(digits[chunk[i] >> 4]);
            *out++ = QLatin1Char(digits[chunk[i] & 0xf]);
        }
    }
    return hex;
}
}  // namespace

QString Utils::encryptSM4(QString text)
{
    if (text.isEmpty())
        return QString();

    // The text as UTF-8. ASCII text is its own UTF-8 and is read straight from the string; any
    // other text is converted once.
    const QChar *chars = text.constData();
    const int count = text.size();
    int firstWide = 0;
    while (firstWide < count && chars[firstWide].unicode() < 0x80)
        ++firstWide;
    if (firstWide == count) {
        if (count > MaxPlainLength)
            return QString();
        return encryptedHex(count, [chars](int at) { return (unsigned char)chars[at].unicode(); });
    }
    const QByteArray utf8 = text.toUtf8();
    if (utf8.size() > MaxPlainLength)
        return QString();
    const char *bytes = utf8.constData();
    return encryptedHex(utf8.size(), [bytes](int at) { return (unsigned char)bytes[at]; });
}

QString Utils::decryptSm4(QString hex)
{
    const QByteArray cipher = QByteArray::fromHex(hex.toLatin1());
    const std::string plain = fixedCipher().decrypt(cipher.toStdString());
    // The text ends at the first zero byte.
    return QString::fromUtf8(plain.c_str());
}
