// What the program and the identity library rely on of the GPU driver's API library
// (nvapi.dll): its resolver export, the interface IDs in use, the statuses and records.
// Declared here from what the program needs; nothing else of the driver's API is used.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

typedef int32_t NvAPI_Status;

// Statuses. 0 is success; the client layers add -1, -2 and -3; -14 never leaves the client.
constexpr NvAPI_Status NVAPI_OK = 0;
constexpr NvAPI_Status NVAPI_ERROR = -1;
constexpr NvAPI_Status NVAPI_LIBRARY_NOT_FOUND = -2;
constexpr NvAPI_Status NVAPI_NO_IMPLEMENTATION = -3;
constexpr NvAPI_Status kNvStatusBoundNow = -14;

typedef struct NvPhysicalGpuHandle__* NvPhysicalGpuHandle;
constexpr unsigned NVAPI_MAX_PHYSICAL_GPUS = 64;

// Interface IDs asked of nvapi_QueryInterface.
constexpr uint32_t kNvIdInitialize = 0x0150E828;
constexpr uint32_t kNvIdPreCallHook = 0x33C7358C;
constexpr uint32_t kNvIdPostCallHook = 0x593E8644;
constexpr uint32_t kNvIdEnumPhysicalGPUs = 0xE5AC921F;
constexpr uint32_t kNvIdI2CReadEx = 0x4D7B0709;
constexpr uint32_t kNvIdGpuGetBusId = 0x1BE0B8E5;

// The driver's I2C transaction record, version 3 (44 bytes on 32-bit Windows).
struct NV_I2C_INFO_V3 {
    uint32_t version;          // 0x0003002C: size in the low 16 bits, version 3 above
    uint32_t displayMask;
    uint8_t bIsDDCPort;
    uint8_t i2cDevAddress;     // 8-bit form: 7-bit address shifted left by one
    uint8_t* pbI2cRegAddress;  // register address bytes; the power IC takes a command here
    uint32_t regAddrSize;
    uint8_t* pbData;           // bytes read back
    uint32_t cbSize;
    uint32_t i2cSpeed;
    uint32_t i2cSpeedKhz;      // a code of the driver's speed enumeration
    uint8_t portId;
    uint32_t bIsPortIdSet;
};
static_assert(sizeof(NV_I2C_INFO_V3) == 44, "NV_I2C_INFO_V3 is 44 bytes");
static_assert(offsetof(NV_I2C_INFO_V3, bIsDDCPort) == 8);
static_assert(offsetof(NV_I2C_INFO_V3, i2cDevAddress) == 9);
static_assert(offsetof(NV_I2C_INFO_V3, pbI2cRegAddress) == 12);
static_assert(offsetof(NV_I2C_INFO_V3, regAddrSize) == 16);
static_assert(offsetof(NV_I2C_INFO_V3, pbData) == 20);
static_assert(offsetof(NV_I2C_INFO_V3, cbSize) == 24);
static_assert(offsetof(NV_I2C_INFO_V3, i2cSpeed) == 28);
static_assert(offsetof(NV_I2C_INFO_V3, i2cSpeedKhz) == 32);
static_assert(offsetof(NV_I2C_INFO_V3, portId) == 36);
static_assert(offsetof(NV_I2C_INFO_V3, bIsPortIdSet) == 40);
constexpr uint32_t NV_I2C_INFO_VER3 = sizeof(NV_I2C_INFO_V3) | (3u << 16);
static_assert(NV_I2C_INFO_VER3 == 0x0003002C);

// Entry points; every one uses the C calling convention.
typedef void*(__cdecl* NvQueryInterfaceFn)(uint32_t id);
typedef NvAPI_Status(__cdecl* NvInitializeFn)(void);
typedef void(__cdecl* NvPreCallHookFn)(uint32_t id, uint32_t* context);
typedef void(__cdecl* NvPostCallHookFn)(uint32_t id, uint32_t word0, uint32_t word1,
                                         NvAPI_Status status);
typedef NvAPI_Status(__cdecl* NvEnumPhysicalGPUsFn)(NvPhysicalGpuHandle* handles, uint32_t* count);
typedef NvAPI_Status(__cdecl* NvI2CReadExFn)(NvPhysicalGpuHandle gpu, NV_I2C_INFO_V3* info,
                                             uint32_t* unknown);
typedef NvAPI_Status(__cdecl* NvGpuGetBusIdFn)(NvPhysicalGpuHandle gpu, uint32_t* busId);
