// String-cipher benchmark: Utils::encryptSM4 on 16-, 64- and 1024-byte texts against OpenSSL's
// SM4-ECB with a fresh key set-up per call and the same hexadecimal output, and the cost of one
// configuration read. The two ciphers run interleaved, batch against batch, the order swapped every
// round, so that both see the same machine state; the table gives the medians over the rounds and
// the median, first and third quartile of the per-round ratio agent / OpenSSL.
//   bench_sm4 [rounds]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <openssl/evp.h>

#include <cstdio>
#include <functional>

#include "benchsupport.h"
#include "paths.h"
#include "utils.h"

namespace {
double nsPerCall(int calls, const std::function<void()> &call)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < calls; ++i)
        call();
    return double(timer.nsecsElapsed()) / calls;
}

double quantile(std::vector<double> values, double q)
{
    std::sort(values.begin(), values.end());
    return values[size_t(q * double(values.size() - 1) + 0.5)];
}

// What a caller of OpenSSL would do for one text: new context, key set-up, padding, hex.
QByteArray opensslEncryptHex(const QByteArray &plain)
{
    static const unsigned char key[] = "73QKRTbWmuPLxvF8";
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_sm4_ecb(), nullptr, key, nullptr);
    QByteArray out(plain.size() + 16, '\0');
    int written = 0, last = 0;
    auto *bytes = reinterpret_cast<unsigned char *>(out.data());
    EVP_EncryptUpdate(ctx, bytes, &written, reinterpret_cast<const unsigned char *>(plain.constData()),
                      plain.size());
    EVP_EncryptFinal_ex(ctx, bytes + written, &last);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(written + last);
    return out.toHex();
}
}  // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? QByteArray(argv[1]).toInt() : 201;

    std::printf("SM4-ECB, fresh key per call, %d interleaved rounds, batches of about 64 KiB of text\n", rounds);
    std::printf("%-28s %12s %12s %8s %8s %8s\n", "text", "agent ns", "openssl ns", "ratio", "q1", "q3");
    for (int size : {16, 64, 1024}) {
        const QString text(size, QChar('a'));
        const QByteArray bytes = text.toUtf8();
        if (Utils::encryptSM4(text).toLatin1() != opensslEncryptHex(bytes)) {
            std::fprintf(stderr, "cipher texts differ for %d bytes\n", size);
            return 1;
        }
        volatile int sink = 0;
        const auto agentCall = [&] { sink += Utils::encryptSM4(text).size(); };
        const auto referenceCall = [&] { sink += opensslEncryptHex(bytes).size(); };
        const int batch = 65536 / size;
        nsPerCall(batch, agentCall);  // warm-up of both
        nsPerCall(batch, referenceCall);
        std::vector<double> agent, reference, ratio;
        for (int round = 0; round < rounds; ++round) {
            double a, r;
            if (round % 2 == 0) {
                a = nsPerCall(batch, agentCall);
                r = nsPerCall(batch, referenceCall);
            } else {
                r = nsPerCall(batch, referenceCall);
                a = nsPerCall(batch, agentCall);
            }
            agent.push_back(a);
            reference.push_back(r);
            ratio.push_back(a / r);
        }
        std::printf("encryptSM4 %4d bytes         %12.0f %12.0f %8.2f %8.2f %8.2f\n", size, median(agent),
                    median(reference), median(ratio), quantile(ratio, 0.25), quantile(ratio, 0.75));
    }

    QTemporaryDir root;
    Paths::setRoot(root.path());
    QDir().mkpath(root.path() + "/usr/share/kiv-domain-client/salt");
    QFile ini(Paths::configIni());
    ini.open(QIODevice::WriteOnly);
    ini.write("[init]\nhostname=pc-0815\nip_port=10.0.0.5:8000\ndomain_type=3\nheartbeat=10\n"
              "[policy]\nitems=wallpaper,idleDelay,usb\nidleDelay=300\n");
    ini.close();
    volatile int sink = 0;
    const double read = nsPerCall(20000, [&] { sink += Utils::get_domain_type(); });
    std::printf("get_domain_type (small INI)  %12.0f\n", read);
    return 0;
}
