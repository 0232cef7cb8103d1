#pragma once

#include <string>

// SM4 block cipher (GB/T 32907-2016): 128-bit blocks, 128-bit key, 32 rounds.
// Every block buffer is an array of 16 bytes; a length that is not a multiple of 16 is
// rounded up, so the buffers passed in must hold whole blocks.

struct sm4_ctx {
    int mode;              // 1 = encrypt, 0 = decrypt (both key schedules set 1)
    unsigned long sk[32];  // round keys in the order the block transform uses them
};

void sm4_setkey(unsigned long sk[32], const unsigned char key[16]);
void sm4_setkey_enc(sm4_ctx *ctx, const unsigned char key[16]);
// Round keys in reverse order: the block transform then decrypts.
void sm4_setkey_dec(sm4_ctx *ctx, const unsigned char key[16]);
// All 32 rounds on one block; the direction follows the order of sk.
void sm4_one_round(const unsigned long sk[32], const unsigned char input[16], unsigned char output[16]);
// mode is not used: the context's round keys decide the direction.
void sm4_crypt_ecb(sm4_ctx *ctx, int mode, int length, const unsigned char *input, unsigned char *output);
// mode 1 encrypts, any other mode decrypts. iv ends holding the last cipher block. input and
// output may be the same buffer.
void sm4_crypt_cbc(sm4_ctx *ctx, int mode, int length, unsigned char iv[16], const unsigned char *input,
                   unsigned char *output);

// Byte strings with padding: each pad byte holds the number of bytes added (1 to 16).
class sm4
{
public:
    enum Type { ECB = 0, CBC = 1 };

    void setKey(const std::string &value);
    void setIv(const std::string &value);
    void setType(Type value);

    // Empty when key or iv is not exactly 16 bytes or plain is empty.
    std::string encrypt(const std::string &plain);
    // Empty when key or iv is not exactly 16 bytes, cipher is shorter than one block or the
    // pad count is larger than the cipher text.
    std::string decrypt(const std::string &cipher);

private:
    bool keyMaterialValid() const;

    std::string key;
    std::string iv;
    Type type = ECB;
};
