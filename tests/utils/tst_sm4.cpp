// The SM4 cipher: the standard's examples; byte strings and the client's texts against OpenSSL's SM4.
#include <QtTest>

#include <openssl/evp.h>

#include <random>

#include "sm4.h"
#include "utils.h"

namespace {
QByteArray hex(const std::string &data) { return QByteArray::fromStdString(data).toHex(); }
const unsigned char *raw(const std::string &data) { return reinterpret_cast<const unsigned char *>(data.data()); }
unsigned char *raw(std::string &data) { return reinterpret_cast<unsigned char *>(&data[0]); }

// OpenSSL's SM4: encryption adds its PKCS#7 padding (the client's rule too); decryption leaves any padding in place.
std::string openssl(bool encrypt, bool cbc, const std::string &key, const std::string &iv, const std::string &input)
{
    const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    EVP_CipherInit_ex(ctx.get(), cbc ? EVP_sm4_cbc() : EVP_sm4_ecb(), nullptr, raw(key), raw(iv), encrypt);
    EVP_CIPHER_CTX_set_padding(ctx.get(), encrypt ? 1 : 0);
    std::string output(input.size() + 32, '\0');
    int written = 0, last = 0;
    EVP_CipherUpdate(ctx.get(), raw(output), &written, raw(input), int(input.size()));
    EVP_CipherFinal_ex(ctx.get(), raw(output) + written, &last);
    return output.substr(0, size_t(written + last));
}
}  // namespace

class TestSm4 : public QObject
{
    Q_OBJECT

private slots:
    // The standard's examples: key and plain block the same 16 bytes, encrypted once and a million times.
    void standardVectors()
    {
        std::string block = QByteArray::fromHex("0123456789abcdeffedcba9876543210").toStdString();
        sm4_ctx ctx;
        sm4_setkey_enc(&ctx, raw(block));
        sm4_one_round(ctx.sk, raw(block), raw(block));
        QCOMPARE(hex(block), QByteArray("681edf34d206965e86b3e94f536e4246"));
        for (int i = 1; i < 1000000; ++i)
            sm4_one_round(ctx.sk, raw(block), raw(block));
        QCOMPARE(hex(block), QByteArray("595298c7c6fd271f0402f804c33d3f66"));
    }

    void matchesOpenSsl_data()
    {
        QTest::addColumn<QString>("layer");  // "ecb", "cbc": byte strings; "ascii", "utf-8": the client's texts
        QTest::addColumn<int>("length");     // around the block and the pieces a text is encrypted in
        for (const char *layer : {"ecb", "cbc", "ascii", "utf-8"})
            for (int length : {1, 15, 16, 17, 127, 128, 129, 4099})
                QTest::addRow("%s %d", layer, length) << QString(layer) << length;
    }

    void matchesOpenSsl()
    {
        QFETCH(QString, layer);
        QFETCH(int, length);
        std::mt19937 generator(uint32_t(length * 3 + layer.size()));
        const bool cbc = layer == "cbc", text = layer == "ascii" || layer == "utf-8";
        const auto randomBytes = [&generator](size_t size) {
            std::string data(size, '\0');
            std::generate(data.begin(), data.end(), [&generator] { return char(generator() & 0xff); });
            return data;
        };
        for (int round = 0; round < 20; ++round) {
            if (text) {
                const QString letters = layer == "ascii" ? "The quick brown fox, 100%" : "Grüße, 中端 ∑ é";
                QString plain;
                while (plain.toUtf8().size() < length)
                    plain += letters.at(int(generator() % uint(letters.size())));
                const std::string utf8 = plain.toUtf8().toStdString();
                const QString encrypted = Utils::encryptSM4(plain);
                QCOMPARE(encrypted.toLatin1(), hex(openssl(true, false, "73QKRTbWmuPLxvF8", {}, utf8)));
                QCOMPARE(Utils::decryptSm4(encrypted), plain);
                continue;
            }
            const std::string key = randomBytes(16), iv = randomBytes(16), plain = randomBytes(size_t(length));

            // The byte-string layer, twice with one object: its IV does not move.
            sm4 byteString;
            byteString.setType(cbc ? sm4::CBC : sm4::ECB);
            byteString.setKey(key);
            byteString.setIv(iv);
            const std::string encrypted = byteString.encrypt(plain);
            QCOMPARE(hex(encrypted), hex(openssl(true, cbc, key, iv, plain)));
            QCOMPARE(hex(byteString.encrypt(plain)), hex(encrypted));
            QCOMPARE(hex(byteString.decrypt(encrypted)), hex(plain));
            // A cipher text cut inside a block is filled up with zeros, decrypted and cut by its pad count.
            const std::string cut = encrypted.substr(0, encrypted.size() - 4);
            const std::string filled = openssl(false, cbc, key, iv, cut + std::string(4, '\0'));
            const size_t pad = (unsigned char)filled[cut.size() - 1];
            const bool refused = cut.size() < 16 || pad > cut.size();
            QCOMPARE(hex(byteString.decrypt(cut)), refused ? QByteArray() : hex(filled.substr(0, cut.size() - pad)));
        }
    }
};

QTEST_MAIN(TestSm4)
#include "tst_sm4.moc"
