// Client functions for the driver entry points the program calls, each reaching the
// driver by its interface ID through a cached slot and bracketed by the call hooks.
#pragma once

#include "nvapi_contract.h"

struct FunctionSlot {
    void* entry;     // the driver's entry point, or null
    uint32_t stamp;  // bindCount when entry was looked up
};

extern FunctionSlot g_slotEnumPhysicalGPUs;
extern FunctionSlot g_slotI2CReadEx;

NvAPI_Status NvAPI_EnumPhysicalGPUs(NvPhysicalGpuHandle handles[NVAPI_MAX_PHYSICAL_GPUS],
                                    uint32_t* pCount);
NvAPI_Status NvAPI_I2CReadEx(NvPhysicalGpuHandle hGpu, NV_I2C_INFO_V3* pInfo, uint32_t* pUnknown);
