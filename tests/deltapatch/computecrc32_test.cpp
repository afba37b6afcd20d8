#include "computecrc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using deltapatch::ComputeCrc32;

// Bit-at-a-time reference of the same register, without the final XOR.
uint32_t referenceRegister(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

TEST(ComputeCrc32Test, KnownValues)
{
    struct Row
    {
        std::string input;
        uint32_t expected;
    } rows[] = {
        {"", 0xFFFFFFFFu},
        {"abc", 0xCADBBE3Du},
        // The standard check value 0xCBF43926, inverted.
        {"123456789", ~0xCBF43926u},
    };
    for (const Row& row : rows)
        EXPECT_EQ(ComputeCrc32(reinterpret_cast<const uint8_t*>(row.input.data()), row.input.size()), row.expected)
            << row.input;
    EXPECT_EQ(ComputeCrc32(nullptr, 0), 0xFFFFFFFFu);
}

TEST(ComputeCrc32Test, MatchesBitwiseRegisterOnRandomInputs)
{
    std::mt19937 rng(7);
    for (size_t length : {1u, 3u, 7u, 8u, 15u, 64u, 1000u, 65537u}) {
        std::vector<uint8_t> data(length);
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(rng());
        // Unaligned starts exercise the table walk's head handling.
        for (size_t skip = 0; skip < 4 && skip < length; ++skip)
            EXPECT_EQ(ComputeCrc32(data.data() + skip, length - skip),
                      referenceRegister(data.data() + skip, length - skip))
                << length << "/" << skip;
    }
}

TEST(ComputeCrc32Test, ConcurrentCallsAgree)
{
    std::vector<uint8_t> data(1 << 16);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    uint32_t expected = referenceRegister(data.data(), data.size());
    std::vector<uint32_t> results(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < results.size(); ++t)
        threads.emplace_back([&, t] {
            uint32_t value = 0;
            for (int i = 0; i < 50; ++i)
                value |= ComputeCrc32(data.data(), data.size()) ^ expected;
            results[t] = value;
        });
    for (std::thread& thread : threads)
        thread.join();
    for (uint32_t value : results)
        EXPECT_EQ(value, 0u);
}

} // namespace
