// Power-IC command sequences: the state check, the programming sequence and the completion
// check with the restart request. The IC sits at address 0x88 on I2C port 1 of the GPU and is
// reached only through the driver's I2C read: the 3-byte command goes out in the place of the
// register address, and two bytes come back. D0 rr vv sets a register, D1 rr xx queries one.
#include <cstring>

#include "nvwrappers.h"
#include "vrmset.h"

namespace {

constexpr uint8_t kPowerIcAddress = 0x88;  // 8-bit form: 7-bit address shifted left by one
constexpr uint8_t kPowerIcPort = 1;
constexpr uint32_t kCommandSize = 3;
constexpr uint32_t kResponseSize = 2;
constexpr uint32_t kI2cSpeedDefault = 0;
constexpr uint32_t kI2cSpeedCompletion = 20;
constexpr uint32_t kI2cSpeedKhzCode = 6;  // a code of the driver's speed enumeration

constexpr uint8_t kQuery1A[kCommandSize] = {0xD1, 0x1A, 0x97};
constexpr uint8_t kQuery23[kCommandSize] = {0xD1, 0x23, 0x78};
constexpr uint8_t kQuery1D[kCommandSize] = {0xD1, 0x1D, 0x50};
constexpr uint8_t kQueryControl[kCommandSize] = {0xD1, 0x80, 0x00};
constexpr uint8_t kNew1A = 0x97;
constexpr uint8_t kNew23 = 0x78;
constexpr uint8_t kNew1D = 0x50;
constexpr uint8_t kControlDone = 0x00;

struct PowerIcStep {
    uint8_t abCommand[kCommandSize];
    DWORD nWaitMs;
};

// The new configuration, then the three control steps that make the IC take it over. The IC
// is busy after each control step and must not be addressed before its wait has passed.
constexpr PowerIcStep kProgramSteps[] = {
    {{0xD0, 0x1A, kNew1A}, 0},
    {{0xD0, 0x23, kNew23}, 0},
    {{0xD0, 0x1D, kNew1D}, 0},
    {{0xD0, 0x80, 0x04}, 150},
    {{0xD0, 0x80, 0x80}, 550},
    {{0xD0, 0x80, 0x40}, 1500},
};

// Every field of the record, pointing at the operation's own command and response buffers.
void FillI2CRecord(NV_I2C_INFO_V3& i2cInfo, uint8_t* pbCommand, uint8_t* pbResponse,
                   uint32_t nSpeed) {
    i2cInfo.version = NV_I2C_INFO_VER3;
    i2cInfo.displayMask = 0;
    i2cInfo.bIsDDCPort = 0;
    i2cInfo.i2cDevAddress = kPowerIcAddress;
    i2cInfo.pbI2cRegAddress = pbCommand;
    i2cInfo.regAddrSize = kCommandSize;
    i2cInfo.pbData = pbResponse;
    i2cInfo.cbSize = kResponseSize;
    i2cInfo.i2cSpeed = nSpeed;
    i2cInfo.i2cSpeedKhz = kI2cSpeedKhzCode;
    i2cInfo.portId = kPowerIcPort;
    i2cInfo.bIsPortIdSet = 1;
}

// One command; between the commands of a group only the command itself is set again.
NvAPI_Status SendCommand(NvPhysicalGpuHandle hGpu, NV_I2C_INFO_V3& i2cInfo, uint8_t* pbCommand,
                         const uint8_t (&abCommand)[kCommandSize], uint32_t* pArg3) {
    memcpy(pbCommand, abCommand, kCommandSize);
    i2cInfo.pbI2cRegAddress = pbCommand;
    i2cInfo.regAddrSize = kCommandSize;
    return NvAPI_I2CReadEx(hGpu, &i2cInfo, pArg3);
}

[[noreturn]] void EndWithMessage(const CString& strText) {
    MessageBoxA(NULL, strText, "OK", MB_OK);
    ExitProcess(0);
}

}  // namespace

void CheckPowerICState() {
    if (g_nvStatus != NVAPI_OK) {
        // The driver API could not be initialised; programming still follows.
        MessageBoxA(NULL, g_strMsgLatest, "Load Library fail!", MB_OK);
        return;
    }
    g_nvStatus = NvAPI_EnumPhysicalGPUs(g_hPhysicalGpu, &g_physicalGpuCount);
    if (g_nvStatus != NVAPI_OK) return;

    NV_I2C_INFO_V3 i2cInfo{};
    uint8_t abCommand[kCommandSize] = {};
    uint8_t abResponse[kResponseSize] = {};  // not cleared between the queries
    uint32_t aArg3[2] = {1, 0};
    FillI2CRecord(i2cInfo, abCommand, abResponse, kI2cSpeedDefault);

    g_nvStatus = SendCommand(g_hPhysicalGpu[0], i2cInfo, abCommand, kQuery1A, aArg3);
    if (g_nvStatus != NVAPI_OK) EndWithMessage(g_strMsgLatest);
    if (abResponse[1] != kNew1A) {
        MessageBoxA(NULL, g_strMsgDoNotTurnOff, "OK", MB_OK);
        return;
    }

    g_nvStatus = SendCommand(g_hPhysicalGpu[0], i2cInfo, abCommand, kQuery23, aArg3);
    if (g_nvStatus != NVAPI_OK || abResponse[1] != kNew23) {
        MessageBoxA(NULL, g_strMsgDoNotTurnOff, "OK", MB_OK);
        return;
    }

    g_nvStatus = SendCommand(g_hPhysicalGpu[0], i2cInfo, abCommand, kQuery1D, aArg3);
    if (g_nvStatus != NVAPI_OK) {
        MessageBoxA(NULL, g_strMsgDoNotTurnOff, "OK", MB_OK);
        return;
    }
    if (abResponse[1] != kNew1D) return;

    // All three registers already hold the new configuration.
    EndWithMessage(g_strMsgLatest);
}

void ProgramPowerIC() {
    g_nvStatus = NvAPI_EnumPhysicalGPUs(g_hPhysicalGpu, &g_physicalGpuCount);
    if (g_nvStatus != NVAPI_OK) EndWithMessage(g_strMsgUpdateFailed);

    NV_I2C_INFO_V3 i2cInfo{};
    uint8_t abCommand[kCommandSize] = {};
    uint8_t abResponse[kResponseSize] = {};
    uint32_t aArg3[2];
    // The table holds 64 handles; a larger count from the driver must not read past it.
    uint32_t nGpus = g_physicalGpuCount < NVAPI_MAX_PHYSICAL_GPUS ? g_physicalGpuCount
                                                                  : NVAPI_MAX_PHYSICAL_GPUS;
    // Every GPU's group is sent before the single completion check: its reboot request must
    // not cut a later GPU's sequence short.
    for (uint32_t i = 0; i < nGpus; ++i) {
        FillI2CRecord(i2cInfo, abCommand, abResponse, kI2cSpeedDefault);
        aArg3[0] = 1;
        aArg3[1] = 0;
        // No status is examined here: the completion check decides.
        for (const PowerIcStep& step : kProgramSteps) {
            g_nvStatus = SendCommand(g_hPhysicalGpu[i], i2cInfo, abCommand, step.abCommand, aArg3);
            if (step.nWaitMs) Sleep(step.nWaitMs);
        }
    }
    if (nGpus > 0) VerifyAndRestart();
}

void VerifyAndRestart() {
    NV_I2C_INFO_V3 i2cInfo{};
    uint8_t abCommand[kCommandSize] = {};
    // Byte 1 preset to the success value: a driver that reports success without writing the
    // buffer passes the check.
    uint8_t abResponse[kResponseSize] = {0x01, 0x00};
    uint32_t aArg3[2] = {1, 0};
    FillI2CRecord(i2cInfo, abCommand, abResponse, kI2cSpeedCompletion);

    // Its status is not kept in g_nvStatus.
    NvAPI_Status nStatus =
        SendCommand(g_hPhysicalGpu[0], i2cInfo, abCommand, kQueryControl, aArg3);
    if (nStatus != NVAPI_OK || abResponse[1] != kControlDone) EndWithMessage(g_strMsgUpdateFailed);

    // The reboot is requested only after the user has dismissed this.
    MessageBoxA(NULL, g_strMsgUpdateCompleted, "OK", MB_OK);
    RequestReboot();
}

void RequestReboot() {
    HANDLE hToken = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken)) {
        TOKEN_PRIVILEGES tp{};
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueA(NULL, SE_SHUTDOWN_NAME, &tp.Privileges[0].Luid))
            AdjustTokenPrivileges(hToken, FALSE, &tp, 0, NULL, NULL);
        CloseHandle(hToken);
    }
    // Asked for even when the privilege could not be enabled.
    ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0);
}
