// File and memory primitives shared by the scanning subsystems: one platform call each, with the
// size or origin narrowed to 16 bits as the callers expect.
#pragma once
#include <stdint.h>

int32_t hOpenRead(const char* szPath);  // handle, or -1
uint32_t uReadBlock(int32_t hFile, void* pvBuffer,
                    uint32_t cb);  // bytes read, 0 at end, or ZM_IO_ERROR
int32_t lSeekFile(int32_t hFile, int32_t lOffset, int32_t iOrigin);  // new position, or -1
// lSeekFile to lOffset from the start and uReadBlock in one: bytes read, ZM_IO_ERROR when the read
// fails, ZM_SEEK_ERROR when the position can't be set.
uint32_t uReadBlockAt(int32_t hFile, uint32_t lOffset, void* pvBuffer, uint32_t cb);
int16_t iCloseFile(int32_t hFile);     // 0, or -1
void* pCommitBlock(uint32_t cb);       // zero-filled block, or null
int16_t iReleaseBlock(void* pvBlock);  // 0, or -1
