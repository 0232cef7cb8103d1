// The SM4 block cipher against the standard's examples and OpenSSL's SM4, the padding rules of
// the byte-string layer and the client's text encryption.
#include <QtTest>

#include <openssl/evp.h>

#include <random>

#include "sm4.h"
#include "utils.h"

namespace {
std::string bytes(const char *hex) { return QByteArray::fromHex(hex).toStdString(); }
QByteArray hex(const std::string &data) { return QByteArray::fromStdString(data).toHex(); }
const unsigned char *raw(const std::string &data) { return reinterpret_cast<const unsigned char *>(data.data()); }

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
    auto *out = reinterpret_cast<unsigned char *>(&output[0]);
    EVP_CipherUpdate(ctx, out, &written, raw(input), int(input.size()));
    EVP_CipherFinal_ex(ctx, out + written, &last);
    EVP_CIPHER_CTX_free(ctx);
    output.resize(size_t(written + last));
    return output;
}

sm4 makeCipher(sm4::Type type, const std::string &key, const std::string &iv)
{
    sm4 cipher;
    cipher.setType(type);
    cipher.setKey(key);
    cipher.setIv(iv);
    return cipher;
}

const std::string Key16 = "0123456789abcdef";
const std::string Iv16 = "fedcba9876543210";
}  // namespace

Q_DECLARE_METATYPE(sm4::Type)

class TestSm4 : public QObject
{
    Q_OBJECT

private slots:
    void standardVectors_data();
    void standardVectors();
    void matchesOpenSsl_data();
    void matchesOpenSsl();
    void cbcLeavesLastCipherBlockInIv();
    void paddingAndLengths_data();
    void paddingAndLengths();
    void padCountRules_data();
    void padCountRules();
    void wrongKeyMaterialGivesNothing_data();
    void wrongKeyMaterialGivesNothing();
    void textRoundTrip_data();
    void textRoundTrip();
    void hexInputIsLenient();
};

void TestSm4::standardVectors_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("iterations");  // the block encrypted again and again with one key
    QTest::addColumn<QByteArray>("cipher");
    QTest::newRow("one block") << QByteArray("0123456789abcdeffedcba9876543210") << 1
                               << QByteArray("681edf34d206965e86b3e94f536e4246");
    QTest::newRow("a million times") << QByteArray("0123456789abcdeffedcba9876543210") << 1000000
                                     << QByteArray("595298c7c6fd271f0402f804c33d3f66");
}

// The standard's examples: the plain block is the key itself.
void TestSm4::standardVectors()
{
    QFETCH(QByteArray, key);
    QFETCH(int, iterations);
    QFETCH(QByteArray, cipher);

    const std::string keyBytes = bytes(key);
    unsigned char block[16];
    memcpy(block, keyBytes.data(), 16);
    sm4_ctx ctx;
    sm4_setkey_enc(&ctx, raw(keyBytes));
    QCOMPARE(ctx.mode, 1);
    for (int i = 0; i < iterations; ++i)
        sm4_one_round(ctx.sk, block, block);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(block), 16).toHex(), cipher);

    sm4_setkey_dec(&ctx, raw(keyBytes));
    QCOMPARE(ctx.mode, 1);
    for (int i = 0; i < iterations; ++i)
        sm4_crypt_ecb(&ctx, 0, 16, block, block);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(block), 16).toHex(), key);
}

void TestSm4::matchesOpenSsl_data()
{
    QTest::addColumn<QString>("layer");  // "ecb" and "cbc": block and byte-string layers; text: encryptSM4
    QTest::addColumn<int>("length");
    for (int length : {1, 15, 16, 17, 31, 32, 100, 1024, 4099}) {
        QTest::addRow("ecb %d", length) << "ecb" << length;
        QTest::addRow("cbc %d", length) << "cbc" << length;
    }
    // Text: ASCII read as it stands, any other text through UTF-8; lengths around the block and
    // the 128-byte pieces the text is encrypted in.
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
        // The client's text cipher is ECB with the fixed key and the same padding.
        const QList<uint> wide{0xe9, 0x4e2d, 0x7aef, 0x1f600};
        for (int round = 0; round < 20; ++round) {
            QString text;
            while (text.toUtf8().size() < length) {
                const uint code = layer == "ascii text" || generator() % 2 ? 0x20 + generator() % 0x5f
                                                                             : wide[int(generator() % 4)];
                text += QString::fromUcs4(&code, 1);
            }
            const std::string expected =
                openssl(true, false, true, "73QKRTbWmuPLxvF8", std::string(16, '\0'), text.toUtf8().toStdString());
            const QString encrypted = Utils::encryptSM4(text);
            QCOMPARE(encrypted.toLatin1(), hex(expected));
            QCOMPARE(Utils::decryptSm4(encrypted), text);
        }
        return;
    }

    const bool cbc = layer == "cbc";
    for (int round = 0; round < 20; ++round) {
        const std::string key = randomBytes(generator, 16);
        const std::string iv = randomBytes(generator, 16);
        const std::string plain = randomBytes(generator, size_t(length));

        // The byte-string layer: encrypt with padding, and back.
        sm4 cipher = makeCipher(cbc ? sm4::CBC : sm4::ECB, key, iv);
        const std::string encrypted = cipher.encrypt(plain);
        QCOMPARE(hex(encrypted), hex(openssl(true, cbc, true, key, iv, plain)));
        QCOMPARE(hex(cipher.decrypt(encrypted)), hex(plain));

        // The block layer on whole blocks, in place for the decryption.
        const std::string blocks = plain.substr(0, plain.size() / 16 * 16);
        if (blocks.empty())
            continue;
        std::string out(blocks.size(), '\0');
        sm4_ctx ctx;
        sm4_setkey_enc(&ctx, raw(key));
        unsigned char chain[16];
        memcpy(chain, iv.data(), 16);
        auto *outBytes = reinterpret_cast<unsigned char *>(&out[0]);
        if (cbc)
            sm4_crypt_cbc(&ctx, 1, int(blocks.size()), chain, raw(blocks), outBytes);
        else
            sm4_crypt_ecb(&ctx, 1, int(blocks.size()), raw(blocks), outBytes);
        QCOMPARE(hex(out), hex(openssl(true, cbc, false, key, iv, blocks)));

        sm4_setkey_dec(&ctx, raw(key));
        memcpy(chain, iv.data(), 16);
        if (cbc)
            sm4_crypt_cbc(&ctx, 0, int(out.size()), chain, outBytes, outBytes);
        else
            sm4_crypt_ecb(&ctx, 0, int(out.size()), outBytes, outBytes);
        QCOMPARE(hex(out), hex(blocks));
    }
}

void TestSm4::cbcLeavesLastCipherBlockInIv()
{
    const std::string plain(48, 'x');
    std::string out(48, '\0');
    sm4_ctx ctx;
    sm4_setkey_enc(&ctx, raw(Key16));
    unsigned char chain[16];
    memcpy(chain, Iv16.data(), 16);
    sm4_crypt_cbc(&ctx, 1, 48, chain, raw(plain), reinterpret_cast<unsigned char *>(&out[0]));
    QCOMPARE(hex(std::string(reinterpret_cast<char *>(chain), 16)), hex(out.substr(32)));

    // The object's own IV is not moved by an encryption: the same text encrypts the same.
    sm4 cipher = makeCipher(sm4::CBC, Key16, Iv16);
    QCOMPARE(hex(cipher.encrypt(plain)), hex(cipher.encrypt(plain)));
}

void TestSm4::paddingAndLengths_data()
{
    QTest::addColumn<sm4::Type>("type");
    QTest::addColumn<int>("plainLength");
    QTest::addColumn<int>("cipherLength");
    for (sm4::Type type : {sm4::ECB, sm4::CBC}) {
        const char *mode = type == sm4::ECB ? "ecb" : "cbc";
        QTest::addRow("%s empty", mode) << type << 0 << 0;
        QTest::addRow("%s 1 byte", mode) << type << 1 << 16;
        QTest::addRow("%s 15 bytes", mode) << type << 15 << 16;
        QTest::addRow("%s 16 bytes: a whole pad block", mode) << type << 16 << 32;
        QTest::addRow("%s 17 bytes", mode) << type << 17 << 32;
        QTest::addRow("%s 64 bytes", mode) << type << 64 << 80;
    }
}

void TestSm4::paddingAndLengths()
{
    QFETCH(sm4::Type, type);
    QFETCH(int, plainLength);
    QFETCH(int, cipherLength);

    sm4 cipher = makeCipher(type, Key16, Iv16);
    const std::string plain(size_t(plainLength), 'p');
    const std::string encrypted = cipher.encrypt(plain);
    QCOMPARE(int(encrypted.size()), cipherLength);
    if (plainLength == 0)
        return;

    // The raw decryption of the whole cipher shows the pad bytes: each holds the pad length.
    std::string padded(encrypted.size(), '\0');
    sm4_ctx ctx;
    sm4_setkey_dec(&ctx, raw(Key16));
    unsigned char chain[16];
    memcpy(chain, Iv16.data(), 16);
    auto *out = reinterpret_cast<unsigned char *>(&padded[0]);
    if (type == sm4::CBC)
        sm4_crypt_cbc(&ctx, 0, int(encrypted.size()), chain, raw(encrypted), out);
    else
        sm4_crypt_ecb(&ctx, 0, int(encrypted.size()), raw(encrypted), out);
    const char pad = char(cipherLength - plainLength);
    QCOMPARE(hex(padded), hex(plain + std::string(size_t(pad), pad)));
    QCOMPARE(hex(cipher.decrypt(encrypted)), hex(plain));
}

void TestSm4::padCountRules_data()
{
    QTest::addColumn<QByteArray>("plainBlocks");  // hexadecimal, whole blocks, encrypted raw
    QTest::addColumn<QByteArray>("expected");     // hexadecimal of sm4::decrypt's answer
    QTest::addColumn<bool>("empty");

    const QByteArray block15 = QByteArray(15, 'a').toHex();
    QTest::newRow("pad count 1") << block15 + "01" << block15 << false;
    QTest::newRow("pad count 0 keeps every byte") << block15 + "00" << block15 + "00" << false;
    QTest::newRow("pad count 16 gives nothing but is valid") << QByteArray(16, 0x10).toHex() << QByteArray() << false;
    QTest::newRow("pad count above the length is refused") << block15 + "ff" << QByteArray() << true;
    QTest::newRow("pad count 17 on one block is refused") << block15 + "11" << QByteArray() << true;
    const QByteArray two = QByteArray(31, 'b').toHex();
    QTest::newRow("pad count 20 on two blocks is accepted") << two + "14" << QByteArray(12, 'b').toHex() << false;
}

void TestSm4::padCountRules()
{
    QFETCH(QByteArray, plainBlocks);
    QFETCH(QByteArray, expected);
    QFETCH(bool, empty);

    const std::string plain = QByteArray::fromHex(plainBlocks).toStdString();
    std::string encrypted(plain.size(), '\0');
    sm4_ctx ctx;
    sm4_setkey_enc(&ctx, raw(Key16));
    sm4_crypt_ecb(&ctx, 1, int(plain.size()), raw(plain), reinterpret_cast<unsigned char *>(&encrypted[0]));

    sm4 cipher = makeCipher(sm4::ECB, Key16, Iv16);
    const std::string decrypted = cipher.decrypt(encrypted);
    QCOMPARE(decrypted.empty(), empty || expected.isEmpty());
    QCOMPARE(hex(decrypted), expected);
}

void TestSm4::wrongKeyMaterialGivesNothing_data()
{
    QTest::addColumn<sm4::Type>("type");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("iv");
    for (sm4::Type type : {sm4::ECB, sm4::CBC}) {
        const char *mode = type == sm4::ECB ? "ecb" : "cbc";
        QTest::addRow("%s 15-byte key", mode) << type << QByteArray(15, 'k') << QByteArray(16, 'i');
        QTest::addRow("%s 17-byte key", mode) << type << QByteArray(17, 'k') << QByteArray(16, 'i');
        QTest::addRow("%s 17-byte iv", mode) << type << QByteArray(16, 'k') << QByteArray(17, 'i');
        QTest::addRow("%s empty iv", mode) << type << QByteArray(16, 'k') << QByteArray();
    }
}

void TestSm4::wrongKeyMaterialGivesNothing()
{
    QFETCH(sm4::Type, type);
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, iv);

    sm4 good = makeCipher(type, Key16, Iv16);
    const std::string encrypted = good.encrypt("some text");
    sm4 bad = makeCipher(type, key.toStdString(), iv.toStdString());
    QVERIFY(bad.encrypt("some text").empty());
    QVERIFY(bad.decrypt(encrypted).empty());
}

void TestSm4::textRoundTrip_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("ascii") << "domain-user";
    QTest::newRow("sixteen characters") << "0123456789abcdef";
    QTest::newRow("chinese") << QString::fromUtf8("域管理客户端 密码");
    QTest::newRow("mixed with emoji") << QString::fromUtf8("Grüße, Ωμέγα 😀 !");
    QTest::newRow("long") << QString(500, QChar(0x4e2d));
}

void TestSm4::textRoundTrip()
{
    QFETCH(QString, text);
    const QString encrypted = Utils::encryptSM4(text);
    QVERIFY(QRegularExpression("^([0-9a-f]{32})*$").match(encrypted).hasMatch());
    QCOMPARE(Utils::decryptSm4(encrypted), text);
    QCOMPARE(Utils::decryptSm4(encrypted.toUpper()), text);
}

void TestSm4::hexInputIsLenient()
{
    const QString encrypted = Utils::encryptSM4("abc");
    // Characters that are not hexadecimal digits are skipped.
    QString spaced;
    for (int i = 0; i < encrypted.size(); i += 2)
        spaced += encrypted.mid(i, 2).toUpper() + " ";
    QCOMPARE(Utils::decryptSm4(spaced), QString("abc"));
    // Less than one block: nothing.
    QCOMPARE(Utils::decryptSm4(encrypted.left(30)), QString());
}

QTEST_MAIN(TestSm4)
#include "tst_sm4.moc"
