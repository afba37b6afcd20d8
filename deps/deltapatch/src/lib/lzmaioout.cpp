#include "lzmaioout.h"

#include <lzma.h>

#include <cstdlib>
#include <string>

#include "log.h"

namespace deltapatch {

namespace {

// Result numbers reported in "Error uncompressing data N"; they keep the
// values the format's readers have always logged.
enum DecodeResult {
    kDecodeOk = -1,
    kStreamEndedShort = 0,
    kDataError = 1,
    kOutOfMemory = 2,
    kUnsupportedProperty = 4,
    kInputExhausted = 6,
    kSinkAllocation = 100, // logged as "unable to allocate sink space"
};

const uint32_t kMaxDictionaryProperty = 40;
const uint64_t kMinDictionary = 4096;
// What a block may claim up front, before its data has shown that it really
// decodes to that much: a few bytes must not buy gigabytes.
const uint64_t kTrustedBytes = 1u << 20;
const uint64_t kClaimPerInputByte = 64;
const size_t kEncodeChunk = 1u << 16;

void* ForwardAlloc(void*, size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        return nullptr;
    return std::malloc(count * size);
}

void ForwardFree(void*, void* pointer)
{
    std::free(pointer);
}

const lzma_allocator kAllocator = {ForwardAlloc, ForwardFree, nullptr};

void LogError(const std::string& message)
{
    log(message, LogLevel_ERROR, "", 0);
}

uint64_t DictionaryOfProperty(uint32_t property)
{
    if (property == kMaxDictionaryProperty)
        return 0xFFFFFFFFu;
    return uint64_t(2 | (property & 1)) << (property / 2 + 11);
}

uint64_t Bound(uint64_t remainingInput)
{
    uint64_t claim =
        remainingInput > UINT64_MAX / kClaimPerInputByte ? UINT64_MAX : remainingInput * kClaimPerInputByte;
    return claim > kTrustedBytes ? claim : kTrustedBytes;
}

int MapLzmaResult(lzma_ret ret)
{
    switch (ret) {
    case LZMA_MEM_ERROR: return kOutOfMemory;
    case LZMA_OPTIONS_ERROR: return kUnsupportedProperty;
    case LZMA_BUF_ERROR: return kInputExhausted;
    default: return kDataError;
    }
}

// One decoding pass with the given dictionary. Decoded bytes are committed to
// the output as they arrive (the buffer may be regrown between calls), and
// *produced counts them.
int DecodePass(const uint8_t* in, size_t inLength, uint32_t unpacked, uint64_t dictionary, WriteStream* output,
               uint64_t* produced, uint64_t* consumed)
{
    *produced = 0;
    *consumed = 0;
    lzma_options_lzma options = {};
    options.dict_size = static_cast<uint32_t>(dictionary);
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = &kAllocator;
    lzma_ret ret = lzma_raw_decoder(&stream, filters);
    if (ret != LZMA_OK) {
        lzma_end(&stream);
        return MapLzmaResult(ret);
    }
    stream.next_in = in;
    stream.avail_in = inLength;

    int result = kDecodeOk;
    uint8_t scratch = 0;
    for (;;) {
        bool intoScratch = *produced == unpacked;
        if (intoScratch) {
            // The stored size is reached; anything but the end marker now is an
            // excess byte and fails the block.
            stream.next_out = &scratch;
            stream.avail_out = 1;
        } else {
            uint64_t wanted = unpacked - *produced;
            if (output->Capacity() == output->Size()) {
                uint64_t more = *produced > kTrustedBytes ? *produced : kTrustedBytes;
                if (!output->Reserve(more < wanted ? more : wanted)) {
                    result = kSinkAllocation;
                    break;
                }
            }
            uint64_t room = output->Capacity() - output->Size();
            stream.next_out = output->MutableData() + output->Size();
            stream.avail_out = static_cast<size_t>(room < wanted ? room : wanted);
        }
        size_t offered = stream.avail_out;
        ret = lzma_code(&stream, LZMA_FINISH);
        size_t got = offered - stream.avail_out;
        if (intoScratch && got != 0) {
            result = kDataError;
            break;
        }
        if (!intoScratch) {
            output->Extend(got);
            *produced += got;
        }
        if (ret == LZMA_STREAM_END) {
            if (*produced != unpacked)
                result = kStreamEndedShort;
            break;
        }
        if (ret != LZMA_OK) {
            result = MapLzmaResult(ret);
            break;
        }
    }
    *consumed = stream.total_in;
    lzma_end(&stream);
    return result;
}

bool Compress(const uint8_t* bytes, size_t length, WriteStream* output, int assertionLine, uint32_t preset = 9,
              uint32_t maxDictionary = 0xFFFFFFFFu, uint64_t sizeLimit = UINT64_MAX)
{
    if (!output)
        return false;
    if (length > 0xFFFFFFFFu) {
        // The block stores its size in 32 bits.
        LogError("Error Lzma2Enc_Encode");
        return false;
    }
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, preset)) {
        log("Assertion \"encHandle\" failed at ../../../../deps/deltapatch/src/lib/lzmaioout:"
                + std::to_string(assertionLine) + "; ",
            LogLevel_CRITICAL, "", 0);
        return false;
    }
    // A dictionary larger than the input buys nothing but memory.
    if (options.dict_size > length)
        options.dict_size = length > kMinDictionary ? static_cast<uint32_t>(length) : kMinDictionary;
    if (options.dict_size > maxDictionary)
        options.dict_size = maxDictionary > kMinDictionary ? maxDictionary : kMinDictionary;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    uint8_t property = 0;
    lzma_stream stream = LZMA_STREAM_INIT;
    stream.allocator = &kAllocator;
    if (lzma_properties_encode(&filters[0], &property) != LZMA_OK || lzma_raw_encoder(&stream, filters) != LZMA_OK) {
        lzma_end(&stream);
        LogError("Error Lzma2Enc_SetProps");
        return false;
    }
    const uint64_t start = output->Size();
    if (!output->Write(&property, 1) || !output->WriteSizeVarint32(length)) {
        lzma_end(&stream);
        return false;
    }

    stream.next_in = bytes;
    stream.avail_in = length;
    uint8_t chunk[kEncodeChunk];
    bool ok = true;
    for (;;) {
        stream.next_out = chunk;
        stream.avail_out = sizeof(chunk);
        lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
        size_t got = sizeof(chunk) - stream.avail_out;
        if ((ret != LZMA_OK && ret != LZMA_STREAM_END) || !output->Write(chunk, got)) {
            ok = false;
            break;
        }
        if (output->Size() - start > sizeLimit) {
            lzma_end(&stream);
            output->Truncate(start);
            return false;
        }
        if (ret == LZMA_STREAM_END)
            break;
    }
    lzma_end(&stream);
    if (!ok)
        LogError("Error Lzma2Enc_Encode");
    return ok;
}

} // namespace

bool DecodeLzma2Block(ReadStream* input, WriteStream* output)
{
    if (!input || !output)
        return false;
    uint8_t property = 0;
    if (!input->Read(&property, 1)) {
        LogError("Error read LZMA2 properties");
        return false;
    }
    uint32_t unpacked = 0;
    if (!input->ReadVarint32(&unpacked)) {
        LogError("Error read LZMA2 unpack size");
        return false;
    }
    // Refused before a byte is allocated: the declared size alone must fit.
    if (unpacked > output->Headroom()) {
        LogError("LZMA2 block of " + std::to_string(unpacked) + " bytes would pass the output limit of "
                 + std::to_string(output->Limit()) + " bytes");
        return false;
    }
    const uint64_t start = output->Size();
    uint64_t firstRoom = unpacked;
    if (firstRoom > Bound(input->Remaining()))
        firstRoom = Bound(input->Remaining());
    if (output->Failed() || !output->Reserve(firstRoom)) {
        LogError("unable to allocate sink space");
        return false;
    }

    int result = kUnsupportedProperty;
    uint64_t produced = 0;
    uint64_t consumed = 0;
    if (property <= kMaxDictionaryProperty) {
        // A dictionary never needs to exceed the output: matches cannot reach
        // before its start.
        uint64_t dictionary = DictionaryOfProperty(property);
        if (dictionary > unpacked)
            dictionary = unpacked;
        if (dictionary < kMinDictionary)
            dictionary = kMinDictionary;
        // Start with a dictionary the input can justify. Should the stream
        // reach further back than that, it has already produced more than that
        // many bytes, and the pass is repeated with the full dictionary.
        uint64_t first = dictionary;
        if (first > Bound(input->Remaining()))
            first = Bound(input->Remaining());
        result = DecodePass(input->Current(), input->Remaining(), unpacked, first, output, &produced, &consumed);
        if (result == kDataError && first < dictionary && produced > first) {
            output->Truncate(start);
            result =
                DecodePass(input->Current(), input->Remaining(), unpacked, dictionary, output, &produced, &consumed);
        }
    }

    if (result == kDecodeOk) {
        input->Skip(static_cast<size_t>(consumed));
        return true;
    }
    output->Truncate(start);
    if (result == kSinkAllocation)
        LogError("unable to allocate sink space");
    else
        LogError("Error uncompressing data " + std::to_string(result));
    return false;
}

bool CompressBufferLzma2(const uint8_t* bytes, size_t length, WriteStream* output)
{
    return Compress(bytes, length, output, 63);
}

bool CompressBufferLzma2Bounded(const uint8_t* bytes, size_t length, uint32_t preset, uint32_t maxDictionary,
                                uint64_t sizeLimit, WriteStream* output)
{
    return Compress(bytes, length, output, 63, preset, maxDictionary, sizeLimit);
}

bool CompressStreamLzma2(ReadStream* input, WriteStream* output)
{
    if (!input)
        return false;
    size_t length = input->Remaining();
    if (!Compress(input->Current(), length, output, 52))
        return false;
    input->Skip(length);
    return true;
}

} // namespace deltapatch
