// Requests to the print server's secure-access service: a frame is the magic
// "PCAC", the body length (32-bit big-endian), then fields, each a 16-bit
// big-endian length and that many bytes.
#pragma once

#include <cstdint>

const char strSP_REQUEST_SETTINGS[] = "100";
const char strSP_REQUEST_VALIDATEINFO[] = "101";
const char strSP_ERROR_QUIT[] = "300";

// The frame buffer every request is built in, and the most a body holds.
const int FRAME_BUFFER_SIZE = 1024;
const int FRAME_HEADER_SIZE = 8;
const int FRAME_BODY_MAX = FRAME_BUFFER_SIZE - FRAME_HEADER_SIZE;

// Appends one field to the frame under construction in outBuffer (a buffer
// of FRAME_BUFFER_SIZE bytes); with bMsgDone it completes the frame. Returns
// numberOfBytes, or with bMsgDone the whole frame's length. A field that
// would not fit the body (or a negative length) is refused with -1 and drops
// the frame: the position is back at its start.
int16_t WritePralixConField(const void* pInData, void* outBuffer, int16_t numberOfBytes, int bMsgDone);

// Writes the inNumberOfBytes bytes of the input in reverse order: a number in
// the host's (little-endian) order becomes wire order.
void LittleToBigEndian(const void* inLittleEndian, void* outBigEndian, int32_t inNumberOfBytes);

// Zeroes the first inLen bytes; nothing when inLen is 0 or less.
void InitializeBuffer(void* inBuffer, int16_t inLen);
