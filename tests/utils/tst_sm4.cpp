// The SM4 cipher: the standard's examples, the block and byte-string layers and the client's text
// encryption against OpenSSL's SM4, and the rules of the client's own beyond OpenSSL's.
#include <QtTest>

#include <openssl/evp.h>

#include <random>

#include "sm4.h"
#include "utils.h"

namespace {
std::string bytes(const QByteArray &hex) { return QByteArray::fromHex(hex).toStdString(); }
QByteArray hex(const std::string &data) { return QByteArray::fromStdString(data).toHex(); }
const unsigned char *raw(const std::string &data) { return reinterpret_cast<const unsigned char *>(data.data()); }
unsigned char *raw(std::string &data) { return reinterpret_cast<unsigned char *>(&data[0]); }

std::string randomBytes(std::mt19937 &generator, size_t size)
{
    std::string data(size, '\0');
    for (char &c : data)
        c = char(generator() & 0xff);
    return data;
}

// OpenSSL's SM4 with or without its PKCS#7 padding (the same rule as the client's).
std::string openssl(bool encrypt, bool cbc, bool padding, const std::string &key, const std::string &iv,
                    const std::string &input)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, cbc ? EVP_sm4_cbc() : EVP_sm4_ecb(), nullptr, raw(key), cbc ? raw(iv) : nullptr,
                      encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0);
    std::string output(input.size() + 32, '\0');
    int written = 0, last = 0;
    EVP_CipherUpdate(ctx, raw(output), &written, raw(input), int(input.size()));
    EVP_CipherFinal_ex(ctx, raw(output) + written, &last);
    EVP_CIPHER_CTX_free(ctx);
    output.resize(size_t(written + last));
    return output;
}

sm4 cipher(sm4::Type type, const std::string &key = "0123456789abcdef", const std::string &iv = "fedcba9876543210")
{
    sm4 result;
    result.setType(type);
    result.setKey(key);
    result.setIv(iv);
    return result;
}

// What sm4::decrypt gives for whole plain blocks encrypted without padding.
QByteArray decryptRaw(const QByteArray &plainHex)
{
    return hex(cipher(sm4::ECB).decrypt(openssl(true, false, false, "0123456789abcdef", {}, bytes(plainHex))));
}
}  // namespace

using Probe = std::function<QByteArray()>;
Q_DECLARE_METATYPE(Probe)

class TestSm4 : public QObject
{
    Q_OBJECT

private slots:
    void standardVectors_data();
    void standardVectors();
    void matchesOpenSsl_data();
    void matchesOpenSsl();
    void clientRules_data();
    void clientRules();
};

void TestSm4::standardVectors_data()
{
    QTest::addColumn<int>("iterations");  // the block encrypted again and again with one key
    QTest::addColumn<QByteArray>("cipher");
    QTest::newRow("one block") << 1 << QByteArray("681edf34d206965e86b3e94f536e4246");
    QTest::newRow("a million times") << 1000000 << QByteArray("595298c7c6fd271f0402f804c33d3f66");
}

// The standard's examples: key and plain block are the same 16 bytes.
void TestSm4::standardVectors()
{
    QFETCH(int, iterations);
    QFETCH(QByteArray, cipher);

    const QByteArray key = "0123456789abcdeffedcba9876543210";
    std::string block = bytes(key);
    sm4_ctx ctx;
    sm4_setkey_enc(&ctx, raw(bytes(key)));
    for (int i = 0; i < iterations; ++i)
        sm4_one_round(ctx.sk, raw(block), raw(block));
    QCOMPARE(hex(block), cipher);
    sm4_setkey_dec(&ctx, raw(bytes(key)));
    for (int i = 0; i < iterations; ++i)
        sm4_crypt_ecb(&ctx, 0, 16, raw(block), raw(block));
    QCOMPARE(hex(block), key);
}

void TestSm4::matchesOpenSsl_data()
{
    QTest::addColumn<QString>("layer");  // "ecb" and "cbc": block and byte-string layers; texts: encryptSM4
    QTest::addColumn<int>("length");
    for (int length : {1, 15, 16, 17, 31, 32, 100, 1024, 4099}) {
        QTest::addRow("ecb %d", length) << "ecb" << length;
        QTest::addRow("cbc %d", length) << "cbc" << length;
    }
    // Lengths around the block and the pieces the text is encrypted in.
    for (int length : {1, 15, 16, 127, 128, 129, 1024}) {
        QTest::addRow("ascii text %d", length) << "ascii text" << length;
        QTest::addRow("utf-8 text %d", length) << "utf-8 text" << length;
    }
}

void TestSm4::matchesOpenSsl()
{
    QFETCH(QString, layer);
    QFETCH(int, length);
    std::mt19937 generator(uint32_t(length * 3 + layer.size()));
    if (layer.endsWith("text")) {
        // The client's text cipher is ECB with the fixed key; ASCII and other text through UTF-8.
        const QList<uint> wide{0xe9, 0x4e2d, 0x7aef, 0x1f600};
        for (int round = 0; round < 20; ++round) {
            QString text;
            while (text.toUtf8().size() < length) {
                const uint code = layer == "ascii text" || generator() % 2 ? 0x20 + generator() % 0x5f
                                                                             : wide[int(generator() % 4)];
                text += QString::fromUcs4(&code, 1);
            }
            const std::string expected = openssl(true, false, true, "73QKRTbWmuPLxvF8", {}, text.toUtf8().toStdString());
            const QString encrypted = Utils::encryptSM4(text);
            QCOMPARE(encrypted.toLatin1(), hex(expected));
            QCOMPARE(Utils::decryptSm4(encrypted), text);
        }
        return;
    }

    const bool cbc = layer == "cbc";
    for (int round = 0; round < 20; ++round) {
        const std::string key = randomBytes(generator, 16), iv = randomBytes(generator, 16);
        const std::string plain = randomBytes(generator, size_t(length));

        // The byte-string layer, twice with one object: its IV does not move.
        sm4 byteString = cipher(cbc ? sm4::CBC : sm4::ECB, key, iv);
        const std::string encrypted = byteString.encrypt(plain);
        QCOMPARE(hex(encrypted), hex(openssl(true, cbc, true, key, iv, plain)));
        QCOMPARE(hex(byteString.encrypt(plain)), hex(encrypted));
        QCOMPARE(hex(byteString.decrypt(encrypted)), hex(plain));

        // The block layer on whole blocks, decrypting in place.
        std::string blocks = plain.substr(0, plain.size() / 16 * 16);
        if (blocks.empty())
            continue;
        const std::string expected = openssl(true, cbc, false, key, iv, blocks);
        sm4_ctx ctx;
        for (bool encrypt : {true, false}) {
            std::string chain = iv;
            encrypt ? sm4_setkey_enc(&ctx, raw(key)) : sm4_setkey_dec(&ctx, raw(key));
            if (cbc)
                sm4_crypt_cbc(&ctx, encrypt, int(blocks.size()), raw(chain), raw(blocks), raw(blocks));
            else
                sm4_crypt_ecb(&ctx, encrypt, int(blocks.size()), raw(blocks), raw(blocks));
            QCOMPARE(hex(blocks), hex(encrypt ? expected : plain.substr(0, blocks.size())));
        }
    }
}

void TestSm4::clientRules_data()
{
    QTest::addColumn<Probe>("probe");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray a15 = QByteArray(15, 'a').toHex(), b31 = QByteArray(31, 'b').toHex();
    QTest::newRow("pad count 1") << Probe([=] { return decryptRaw(a15 + "01"); }) << a15;
    QTest::newRow("pad count 0 keeps every byte") << Probe([=] { return decryptRaw(a15 + "00"); }) << a15 + "00";
    QTest::newRow("pad count above one block refused") << Probe([=] { return decryptRaw(a15 + "11"); }) << QByteArray();
    QTest::newRow("pad count 20 of two blocks") << Probe([=] { return decryptRaw(b31 + "14"); })
                                                << QByteArray(12, 'b').toHex();
    for (sm4::Type type : {sm4::ECB, sm4::CBC}) {
        const auto wrong = [type](const std::string &key, const std::string &iv) {
            return Probe([=] {
                const std::string encrypted = cipher(type).encrypt("some text");
                sm4 bad = cipher(type, key, iv);
                return QByteArray::fromStdString(bad.encrypt("some text") + bad.decrypt(encrypted));
            });
        };
        const char *mode = type == sm4::ECB ? "ecb" : "cbc";
        QTest::addRow("%s 15-byte key", mode) << wrong(std::string(15, 'k'), std::string(16, 'i')) << QByteArray();
        QTest::addRow("%s 17-byte iv", mode) << wrong(std::string(16, 'k'), std::string(17, 'i')) << QByteArray();
    }

    // A short cipher text is filled up to its block with zeros: the last plain byte of such a
    // text, chosen so that its pad count keeps part of the partial block, tells the fill apart.
    std::string shortText = cipher(sm4::ECB).encrypt(std::string(16, 'x')).substr(0, 16) + "0000", plain;
    for (unsigned tail = 0;; ++tail) {
        shortText.replace(16, 4, QByteArray::number(tail, 16).rightJustified(4, '0').toStdString());
        plain = openssl(false, false, false, "0123456789abcdef", {}, shortText + std::string(12, '\0'));
        if ((unsigned char)plain[19] <= 3)
            break;
    }
    QTest::newRow("short cipher filled with zeros") << Probe([=] { return hex(cipher(sm4::ECB).decrypt(shortText)); })
                                                    << hex(plain.substr(0, 20 - (unsigned char)plain[19]));

    // The client's text encryption.
    const QString abc = Utils::encryptSM4("abc");
    QString spaced;
    for (int i = 0; i < abc.size(); i += 2)
        spaced += abc.mid(i, 2).toUpper() + " ";
    QTest::newRow("empty text") << Probe([] { return (Utils::encryptSM4("") + Utils::decryptSm4("")).toUtf8(); })
                                << QByteArray();
    QTest::newRow("hexadecimal in capitals, with blanks") << Probe([=] { return Utils::decryptSm4(spaced).toUtf8(); })
                                                          << QByteArray("abc");
    QTest::newRow("less than a block") << Probe([=] { return Utils::decryptSm4(abc.left(30)).toUtf8(); }) << QByteArray();
}

void TestSm4::clientRules()
{
    QFETCH(Probe, probe);
    QFETCH(QByteArray, expected);
    QCOMPARE(probe(), expected);
}

QTEST_MAIN(TestSm4)
#include "tst_sm4.moc"
