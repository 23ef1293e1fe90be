// The content digest's paths against its byte-by-byte definition: random
// inputs in random chunks, uniform inputs, every length around the vector
// block sizes, and calls on a stack that is not aligned as compilers assume.
#include "digest.h"
#include "digest_paths.h"
#include <gtest/gtest.h>
#include <initializer_list>
#include <random>
#include <string.h>
#include <vector>

namespace {

// The definition, one byte at a time.
void ReferenceDigest(unsigned char (&d)[kDigestSize], const unsigned char* p, size_t size) {
    uint32_t h = d[0] | d[1] << 8 | d[2] << 16 | (uint32_t)d[3] << 24;
    unsigned char s1 = d[4], x1 = d[5], s2 = d[6], x2 = d[7];
    for (size_t i = 0; i < size; i++) {
        h = h * 233 + p[i];
        s1 = (unsigned char)(s1 + h);
        x1 ^= (unsigned char)h;
        s2 = (unsigned char)(s2 + p[i]);
        x2 ^= p[i];
    }
    const unsigned char out[kDigestSize] = {(unsigned char)h,
                                            (unsigned char)(h >> 8),
                                            (unsigned char)(h >> 16),
                                            (unsigned char)(h >> 24),
                                            s1,
                                            x1,
                                            s2,
                                            x2};
    memcpy(d, out, kDigestSize);
}

std::string Hex(const unsigned char (&d)[kDigestSize]) {
    char text[2 * kDigestSize + 1];
    for (size_t i = 0; i < kDigestSize; i++)
        snprintf(text + 2 * i, 3, "%02X", d[i]);
    return text;
}

// Each test runs once per path; a path the processor lacks is skipped.
class DigestPaths : public testing::TestWithParam<DigestPath> {
  protected:
    void SetUp() override {
        if (!ForceDigestPath(GetParam()))
            GTEST_SKIP() << DigestPathName(GetParam()) << ": this processor cannot run it";
    }
    void TearDown() override { ForceDigestPath(BestDigestPath()); }
};

TEST_P(DigestPaths, RandomInputsInRandomChunksMatchTheDefinition) {
    std::mt19937 random(20261208);
    std::vector<unsigned char> buffer(70000 + 64);
    for (unsigned char& b : buffer)
        b = (unsigned char)random();
    for (int n = 0; n < 4000; n++) {
        // Mostly short inputs, where the block edges are; some long ones.
        size_t size = n % 4 ? random() % 700 : random() % 70000;
        const unsigned char* data = buffer.data() + random() % 64; // any alignment
        unsigned char expected[kDigestSize], actual[kDigestSize];
        for (size_t i = 0; i < kDigestSize; i++)
            expected[i] = actual[i] = n % 2 ? (unsigned char)random() : 0; // any start state
        ReferenceDigest(expected, data, size);
        for (size_t at = 0, chunk; at < size; at += chunk) {
            size_t left = size - at;
            chunk = random() % 3 ? 1 + random() % left : std::min<size_t>(left, random() % 300);
            FeedDigest(actual, data + at, chunk);
        }
        if (size == 0) FeedDigest(actual, data, 0);
        ASSERT_EQ(Hex(expected), Hex(actual)) << "case " << n << ", " << size << " bytes";
    }
}

TEST_P(DigestPaths, UniformInputsAndEveryLengthAroundTheBlocks) {
    std::vector<unsigned char> mixed(4 * kDigestBlock);
    for (size_t i = 0; i < mixed.size(); i++)
        mixed[i] = (unsigned char)(i * 151 + 7);
    const std::vector<unsigned char> fills[] = {std::vector<unsigned char>(1048576 + 130, 0x00),
                                                std::vector<unsigned char>(1048576 + 130, 0xFF),
                                                mixed};
    const unsigned char starts[][kDigestSize] = {{0},
                                                 {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}};
    for (const std::vector<unsigned char>& input : fills) {
        std::vector<size_t> sizes;
        for (size_t size = 0; size <= 3 * kDigestBlock + 2; size++)
            sizes.push_back(size);
        // Long uniform runs: the 16-bit lanes wrap many times.
        if (input.size() > 1048576) sizes.insert(sizes.end(), {1048575, 1048576, 1048577 + 128});
        for (const unsigned char(&start)[kDigestSize] : starts)
            for (size_t size : sizes) {
                unsigned char expected[kDigestSize], actual[kDigestSize];
                memcpy(expected, start, kDigestSize);
                memcpy(actual, start, kDigestSize);
                ReferenceDigest(expected, input.data(), size);
                FeedDigest(actual, input.data(), size);
                ASSERT_EQ(Hex(expected), Hex(actual))
                    << size << " bytes of " << (int)input[1] << ", start " << (int)start[0];
            }
    }
}

struct DigestJob {
    const unsigned char* data;
    size_t size;
    unsigned char digest[kDigestSize];
};

extern "C" void DigestJobRun(void* job) {
    DigestJob* j = (DigestJob*)job;
    FeedDigest(j->digest, j->data, j->size);
}

// Calls fn(arg) with the stack pointer `offset` bytes below a 32-byte
// boundary at the call, where the compilers assume 16 (or, for values spilled
// by AVX code, 32). 32-bit Windows guarantees only 4.
extern "C" __attribute__((naked, noinline)) void
CallWithStackOffset(void (*)(void*) /*fn*/, void* /*arg*/, size_t /*offset*/) {
#if defined(__x86_64__) && defined(_WIN64)
    __asm__("push %rbp\n mov %rsp, %rbp\n and $-32, %rsp\n sub %r8, %rsp\n"
            "sub $32, %rsp\n mov %rcx, %rax\n mov %rdx, %rcx\n call *%rax\n"
            "mov %rbp, %rsp\n pop %rbp\n ret\n");
#elif defined(__x86_64__)
    __asm__("push %rbp\n mov %rsp, %rbp\n and $-32, %rsp\n sub %rdx, %rsp\n"
            "mov %rdi, %rax\n mov %rsi, %rdi\n call *%rax\n mov %rbp, %rsp\n pop %rbp\n ret\n");
#elif defined(__i386__)
    __asm__("push %ebp\n mov %esp, %ebp\n mov 8(%ebp), %eax\n mov 12(%ebp), %ecx\n"
            "mov 16(%ebp), %edx\n and $-32, %esp\n sub %edx, %esp\n sub $32, %esp\n"
            "mov %ecx, (%esp)\n call *%eax\n mov %ebp, %esp\n pop %ebp\n ret\n");
#else
#error "no stack offset trampoline for this processor"
#endif
}

TEST_P(DigestPaths, RunsOnAStackOfAnyAlignment) {
#ifdef __SANITIZE_ADDRESS__
    // Its stack shadow assumes aligned frames and reports misaligned ones.
    GTEST_SKIP() << "AddressSanitizer cannot run on a misaligned stack";
#endif
    std::vector<unsigned char> data(3 * kDigestBlock * 11 + 5);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (unsigned char)(i * i + 3 * i);
    unsigned char expected[kDigestSize] = {};
    ReferenceDigest(expected, data.data() + 1, data.size() - 1);
    for (size_t offset : {0, 4, 8, 16, 20, 24}) {
        DigestJob job = {data.data() + 1, data.size() - 1, {0}};
        CallWithStackOffset(DigestJobRun, &job, offset);
        EXPECT_EQ(Hex(expected), Hex(job.digest)) << "stack offset " << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(, DigestPaths, testing::Values(kDigestPlain, kDigestSse2, kDigestAvx2),
                         [](const testing::TestParamInfo<DigestPath>& info) {
                             return std::string(DigestPathName(info.param));
                         });

} // namespace
