// Client functions for the driver entry points that the program calls. Each one makes sure
// the library is bound, reaches the driver's function by its interface ID through a cache
// slot of its own, brackets the call with the driver's hooks and hands back the driver's
// status as it came.

#include "nvwrappers.h"

#include "nvloader.h"

FunctionSlot g_slotEnumPhysicalGPUs;
FunctionSlot g_slotI2CReadEx;

namespace {

template <typename Fn, typename... Args>
NvAPI_Status callDriver(uint32_t nInterfaceId, FunctionSlot* pSlot, Args... args)
{
    HMODULE hModule = nullptr;
    const NvAPI_Status acquired = acquireModule(&hModule);
    if (acquired != NVAPI_OK && acquired != kNvStatusBoundNow)
        return acquired;

    // Bound during this call: whatever the slot holds may come from another image.
    if (acquired == kNvStatusBoundNow)
        pSlot->entry = nullptr;
    // Looked up under an earlier binding.
    if (pSlot->entry != nullptr && pSlot->stamp != g_nvLoader.bindCount)
        pSlot->entry = nullptr;

    // No resolver means the last binding failed. A slot filled before it may still carry a
    // current stamp while pointing into a module that is gone or was replaced; it is never
    // called through.
    const NvQueryInterfaceFn resolver = g_nvLoader.resolver;
    if (resolver == nullptr)
        return NVAPI_NO_IMPLEMENTATION;

    if (pSlot->entry == nullptr) {
        pSlot->entry = resolver(nInterfaceId);
        pSlot->stamp = g_nvLoader.bindCount;
    }
    // A miss is not remembered: the next call asks the driver again.
    if (pSlot->entry == nullptr)
        return NVAPI_NO_IMPLEMENTATION;

    // The hooks are both set or both null (the loader keeps them as a pair).
    uint32_t hookContext[2] = {0, 0};
    if (g_nvLoader.preCallHook != nullptr)
        g_nvLoader.preCallHook(nInterfaceId, hookContext);

    const NvAPI_Status status = reinterpret_cast<Fn>(pSlot->entry)(args...);

    if (g_nvLoader.postCallHook != nullptr)
        g_nvLoader.postCallHook(nInterfaceId, hookContext[0], hookContext[1], status);
    return status;
}

}  // namespace

NvAPI_Status NvAPI_EnumPhysicalGPUs(NvPhysicalGpuHandle handles[NVAPI_MAX_PHYSICAL_GPUS],
                                    uint32_t* pCount)
{
    return callDriver<NvEnumPhysicalGPUsFn>(kNvIdEnumPhysicalGPUs, &g_slotEnumPhysicalGPUs,
                                            handles, pCount);
}

NvAPI_Status NvAPI_I2CReadEx(NvPhysicalGpuHandle hGpu, NV_I2C_INFO_V3* pInfo, uint32_t* pUnknown)
{
    return callDriver<NvI2CReadExFn>(kNvIdI2CReadEx, &g_slotI2CReadEx, hGpu, pInfo, pUnknown);
}
