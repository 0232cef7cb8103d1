// String encryption with the client's fixed key: SM4-ECB, text as UTF-8, cipher as hexadecimal.
#include "sm4.h"
#include "utils.h"

namespace {
const char *const FixedKey = "73QKRTbWmuPLxvF8";
// ECB does not chain; the IV only has to pass the cipher's length check.
const char *const FixedIv = "mmqtyrrrbnhjklss";

sm4 fixedCipher()
{
    sm4 cipher;
    cipher.setType(sm4::ECB);
    cipher.setKey(FixedKey);
    cipher.setIv(FixedIv);
    return cipher;
}
}  // namespace

QString Utils::encryptSM4(QString text)
{
    const QByteArray plain = text.toUtf8();
    const std::string cipher = fixedCipher().encrypt(plain.toStdString());
    return QString::fromLatin1(QByteArray::fromStdString(cipher).toHex());
}

QString Utils::decryptSm4(QString hex)
{
    const QByteArray cipher = QByteArray::fromHex(hex.toLatin1());
    const std::string plain = fixedCipher().decrypt(cipher.toStdString());
    // The text ends at the first zero byte.
    return QString::fromUtf8(plain.c_str());
}
