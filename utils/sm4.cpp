#include "sm4.h"

#include <climits>
#include <cstdint>
#include <cstring>

namespace {
constexpr unsigned char SboxTable[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48,
};

constexpr uint32_t CK[32] = {
    0x00070e15, 0x1c232a31, 0x383f464d, 0x545b6269, 0x70777e85, 0x8c939aa1, 0xa8afb6bd, 0xc4cbd2d9,
    0xe0e7eef5, 0xfc030a11, 0x181f262d, 0x343b4249, 0x50575e65, 0x6c737a81, 0x888f969d, 0xa4abb2b9,
    0xc0c7ced5, 0xdce3eaf1, 0xf8ff060d, 0x141b2229, 0x30373e45, 0x4c535a61, 0x686f767d, 0x848b9299,
    0xa0a7aeb5, 0xbcc3cad1, 0xd8dfe6ed, 0xf4fb0209, 0x10171e25, 0x2c333a41, 0x484f565d, 0x646b7279,
};

constexpr uint32_t FK[4] = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

constexpr int BlockSize = 16;
constexpr size_t MaxLength = INT_MAX - 2 * BlockSize;  // the block layer counts in int

constexpr uint32_t rotateLeft(uint32_t word, int bits) { return (word << bits) | (word >> (32 - bits)); }

// The S-box and a linear transform combined, one table per byte position: the transform commutes
// with rotation, so the table for byte position p is the one for the top byte rotated right by 8p
// bits. Four tables save the rotations in the rounds; they are built by the compiler, so there is
// nothing to initialise at run time.
struct Tables {
    uint32_t t[4][256];
};

template <typename Linear> constexpr Tables combinedTables(Linear linear)
{
    Tables tables{};
    for (int value = 0; value < 256; ++value) {
        const uint32_t top = linear(uint32_t(SboxTable[value]) << 24);
        for (int position = 0; position < 4; ++position)
            tables.t[position][value] = position == 0 ? top : rotateLeft(top, 32 - 8 * position);
    }
    return tables;
}

// L of the rounds and L' of the key schedule.
constexpr uint32_t roundLinear(uint32_t b)
{
    return b ^ rotateLeft(b, 2) ^ rotateLeft(b, 10) ^ rotateLeft(b, 18) ^ rotateLeft(b, 24);
}
constexpr uint32_t keyLinear(uint32_t b) { return b ^ rotateLeft(b, 13) ^ rotateLeft(b, 23); }

constexpr Tables RoundTables = combinedTables([](uint32_t b) { return roundLinear(b); });
constexpr Tables KeyTables = combinedTables([](uint32_t b) { return keyLinear(b); });

// T and T' of the standard: the S-box on each byte, then the linear transform.
inline uint32_t transform(const Tables &tables, uint32_t word)
{
    return tables.t[0][word >> 24] ^ tables.t[1][(word >> 16) & 0xff] ^ tables.t[2][(word >> 8) & 0xff]
        ^ tables.t[3][word & 0xff];
}

inline uint32_t loadBigEndian(const unsigned char *bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | uint32_t(bytes[3]);
}

inline void storeBigEndian(uint32_t word, unsigned char *bytes)
{
    bytes[0] = (unsigned char)(word >> 24);
    bytes[1] = (unsigned char)(word >> 16);
    bytes[2] = (unsigned char)(word >> 8);
    bytes[3] = (unsigned char)word;
}

int blockCount(int length) { return length <= 0 ? 0 : (length + BlockSize - 1) / BlockSize; }

// The 32 rounds on one block. Input and output may overlap: the block is read whole first.
inline void cryptBlock(const unsigned long sk[32], const unsigned char *input, unsigned char *output)
{
    uint32_t x0 = loadBigEndian(input), x1 = loadBigEndian(input + 4), x2 = loadBigEndian(input + 8),
             x3 = loadBigEndian(input + 12);
    for (int i = 0; i < 32; i += 4) {
        x0 ^= transform(RoundTables, x1 ^ x2 ^ x3 ^ uint32_t(sk[i]));
        x1 ^= transform(RoundTables, x2 ^ x3 ^ x0 ^ uint32_t(sk[i + 1]));
        x2 ^= transform(RoundTables, x3 ^ x0 ^ x1 ^ uint32_t(sk[i + 2]));
        x3 ^= transform(RoundTables, x0 ^ x1 ^ x2 ^ uint32_t(sk[i + 3]));
    }
    storeBigEndian(x3, output);
    storeBigEndian(x2, output + 4);
    storeBigEndian(x1, output + 8);
    storeBigEndian(x0, output + 12);
}

// Two independent blocks side by side: each round of one waits on its table look-ups, which the
// other one's round fills. Input and output may overlap.
inline void cryptTwoBlocks(const unsigned long sk[32], const unsigned char *input, unsigned char *output)
{
    uint32_t a0 = loadBigEndian(input), a1 = loadBigEndian(input + 4), a2 = loadBigEndian(input + 8),
             a3 = loadBigEndian(input + 12);
    uint32_t b0 = loadBigEndian(input + 16), b1 = loadBigEndian(input + 20), b2 = loadBigEndian(input + 24),
             b3 = loadBigEndian(input + 28);
    for (int i = 0; i < 32; i += 4) {
        const uint32_t k0 = uint32_t(sk[i]), k1 = uint32_t(sk[i + 1]), k2 = uint32_t(sk[i + 2]),
                       k3 = uint32_t(sk[i + 3]);
        a0 ^= transform(RoundTables, a1 ^ a2 ^ a3 ^ k0);
        b0 ^= transform(RoundTables, b1 ^ b2 ^ b3 ^ k0);
        a1 ^= transform(RoundTables, a2 ^ a3 ^ a0 ^ k1);
        b1 ^= transform(RoundTables, b2 ^ b3 ^ b0 ^ k1);
        a2 ^= transform(RoundTables, a3 ^ a0 ^ a1 ^ k2);
        b2 ^= transform(RoundTables, b3 ^ b0 ^ b1 ^ k2);
        a3 ^= transform(RoundTables, a0 ^ a1 ^ a2 ^ k3);
        b3 ^= transform(RoundTables, b0 ^ b1 ^ b2 ^ k3);
    }
    storeBigEndian(a3, output);
    storeBigEndian(a2, output + 4);
    storeBigEndian(a1, output + 8);
    storeBigEndian(a0, output + 12);
    storeBigEndian(b3, output + 16);
    storeBigEndian(b2, output + 20);
    storeBigEndian(b1, output + 24);
    storeBigEndian(b0, output + 28);
}
}  // namespace

void sm4_setkey(unsigned long sk[32], const unsigned char key[16])
{
    uint32_t k0 = loadBigEndian(key) ^ FK[0], k1 = loadBigEndian(key + 4) ^ FK[1],
             k2 = loadBigEndian(key + 8) ^ FK[2], k3 = loadBigEndian(key + 12) ^ FK[3];
    for (int i = 0; i < 32; i += 4) {
        sk[i] = k0 ^= transform(KeyTables, k1 ^ k2 ^ k3 ^ CK[i]);
        sk[i + 1] = k1 ^= transform(KeyTables, k2 ^ k3 ^ k0 ^ CK[i + 1]);
        sk[i + 2] = k2 ^= transform(KeyTables, k3 ^ k0 ^ k1 ^ CK[i + 2]);
        sk[i + 3] = k3 ^= transform(KeyTables, k0 ^ k1 ^ k2 ^ CK[i + 3]);
    }
}

void sm4_setkey_enc(sm4_ctx *ctx, const unsigned char key[16])
{
    ctx->mode = 1;
    sm4_setkey(ctx->sk, key);
}

void sm4_setkey_dec(sm4_ctx *ctx, const unsigned char key[16])
{
    ctx->mode = 1;
    sm4_setkey(ctx->sk, key);
    for (int i = 0; i < 16; ++i) {
        const unsigned long swap = ctx->sk[i];
        ctx->sk[i] = ctx->sk[31 - i];
        ctx->sk[31 - i] = swap;
    }
}

void sm4_one_round(const unsigned long sk[32], const unsigned char input[16], unsigned char output[16])
{
    cryptBlock(sk, input, output);
}

void sm4_crypt_ecb(sm4_ctx *ctx, int /*mode*/, int length, const unsigned char *input, unsigned char *output)
{
    const int blocks = blockCount(length);
    int block = 0;
    for (; block + 1 < blocks; block += 2)
        cryptTwoBlocks(ctx->sk, input + block * BlockSize, output + block * BlockSize);
    if (block < blocks)
        cryptBlock(ctx->sk, input + block * BlockSize, output + block * BlockSize);
}

void sm4_crypt_cbc(sm4_ctx *ctx, int mode, int length, unsigned char iv[16], const unsigned char *input,
                   unsigned char *output)
{
    unsigned char block[BlockSize];
    const int blocks = blockCount(length);
    for (int n = 0; n < blocks; ++n) {
        const unsigned char *in = input + n * BlockSize;
        unsigned char *out = output + n * BlockSize;
        if (mode == 1) {
            for (int i = 0; i < BlockSize; ++i)
                block[i] = in[i] ^ iv[i];
            cryptBlock(ctx->sk, block, out);
            std::memcpy(iv, out, BlockSize);
        } else {
            std::memcpy(block, in, BlockSize);  // in and out may be the same block
            cryptBlock(ctx->sk, block, out);
            for (int i = 0; i < BlockSize; ++i)
                out[i] ^= iv[i];
            std::memcpy(iv, block, BlockSize);
        }
    }
}

void sm4::setKey(const std::string &value) { key = value; }
void sm4::setIv(const std::string &value) { iv = value; }
void sm4::setType(Type value) { type = value; }

bool sm4::keyMaterialValid() const { return key.size() == BlockSize && iv.size() == BlockSize; }

std::string sm4::encrypt(const std::string &plain)
{
    if (!keyMaterialValid() || plain.empty() || plain.size() > MaxLength)
        return std::string();

    // A whole block of padding when the text already fills its blocks. The blocks are encrypted in
    // place in the string that is returned: one buffer for the whole call.
    const size_t padded = BlockSize * (plain.size() / BlockSize) + BlockSize;
    std::string result(padded, char(padded - plain.size()));
    std::memcpy(&result[0], plain.data(), plain.size());
    auto *blocks = reinterpret_cast<unsigned char *>(&result[0]);

    sm4_ctx ctx;
    sm4_setkey_enc(&ctx, reinterpret_cast<const unsigned char *>(key.data()));
    if (type == CBC) {
        unsigned char chain[BlockSize];
        std::memcpy(chain, iv.data(), BlockSize);
        sm4_crypt_cbc(&ctx, 1, int(padded), chain, blocks, blocks);
    } else {
        sm4_crypt_ecb(&ctx, 1, int(padded), blocks, blocks);
    }
    return result;
}

std::string sm4::decrypt(const std::string &cipher)
{
    if (!keyMaterialValid() || cipher.size() < BlockSize || cipher.size() > MaxLength)
        return std::string();

    // Only whole blocks are meaningful; a partial last block is filled with zeros, never with
    // whatever the memory held. Decrypted in place, then cut to the plain text.
    const size_t length = cipher.size();
    std::string result(size_t(blockCount(int(length))) * BlockSize, '\0');
    std::memcpy(&result[0], cipher.data(), length);
    auto *blocks = reinterpret_cast<unsigned char *>(&result[0]);

    sm4_ctx ctx;
    sm4_setkey_dec(&ctx, reinterpret_cast<const unsigned char *>(key.data()));
    if (type == CBC) {
        unsigned char chain[BlockSize];
        std::memcpy(chain, iv.data(), BlockSize);
        sm4_crypt_cbc(&ctx, 0, int(result.size()), chain, blocks, blocks);
    } else {
        sm4_crypt_ecb(&ctx, 0, int(result.size()), blocks, blocks);
    }

    const size_t pad = blocks[length - 1];
    if (pad > length)
        return std::string();
    result.resize(length - pad);
    return result;
}
