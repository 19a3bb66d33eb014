// Building request frames. The position in the frame under construction is
// the thread's: one frame at a time on each thread, so runs of several print
// servers at once (their own turns) each build their own.
#include "spdll_framing.h"

#include <cstring>

namespace {

thread_local int16_t msgIndex = 0;  // body bytes written to the frame being built

}  // namespace

int16_t WritePralixConField(const void* pInData, void* outBuffer, int16_t numberOfBytes, int bMsgDone)
{
    auto* out = static_cast<unsigned char*>(outBuffer);
    if (numberOfBytes < 0 || msgIndex + 2 + numberOfBytes > FRAME_BODY_MAX) {
        msgIndex = 0;  // the frame is dropped: the next one starts afresh
        return -1;
    }
    LittleToBigEndian(&numberOfBytes, out + msgIndex, 2);
    msgIndex = static_cast<int16_t>(msgIndex + 2);
    if (numberOfBytes) memcpy(out + msgIndex, pInData, static_cast<size_t>(numberOfBytes));
    msgIndex = static_cast<int16_t>(msgIndex + numberOfBytes);
    if (!bMsgDone) return numberOfBytes;

    // The body was built at the start of the buffer: put the header before it.
    unsigned char scratch[FRAME_BUFFER_SIZE];
    int32_t bodyLength = msgIndex;
    memcpy(scratch, "PCAC", 4);
    LittleToBigEndian(&bodyLength, scratch + 4, 4);
    memcpy(scratch + FRAME_HEADER_SIZE, out, static_cast<size_t>(msgIndex));
    int16_t frameLength = static_cast<int16_t>(msgIndex + FRAME_HEADER_SIZE);
    memcpy(out, scratch, static_cast<size_t>(frameLength));
    msgIndex = 0;
    return frameLength;
}

void LittleToBigEndian(const void* inLittleEndian, void* outBigEndian, int32_t inNumberOfBytes)
{
    auto* in = static_cast<const unsigned char*>(inLittleEndian);
    auto* out = static_cast<unsigned char*>(outBigEndian);
    for (int32_t i = 0; i < inNumberOfBytes; i++) out[i] = in[inNumberOfBytes - 1 - i];
}

void InitializeBuffer(void* inBuffer, int16_t inLen)
{
    if (inLen > 0) memset(inBuffer, 0, static_cast<size_t>(inLen));
}
