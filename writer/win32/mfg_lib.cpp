// mfg_lib: see the header. The order of the calls is the library's contract
// with its callers; the stand-in library used in the tests logs every call
// and the window check compares that log with this order.

#include "mfg_lib.h"

#include <cstring>
#include <span>

#include "win_text.h"

std::atomic<CMfgLib*> CMfgLib::s_pInstance{nullptr};

CMfgLib::CMfgLib()
{
    s_pInstance.store(this);
}

CMfgLib::~CMfgLib()
{
    Shutdown();
    s_pInstance.store(nullptr);
}

bool CMfgLib::Initialize(const WriterPaths& paths)
{
    if (MtlInitialize() != 0) {
        return false;
    }
    m_bLibrary = true;
    if (MtlCreateInstance(&m_dwHandle) != 0) {
        return false;
    }
    m_bInstance = true;
    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } variables[] = {
        {L"board", L"sabresd"},
        {L"ldo", L""},
        {L"mmc", L"0"},
        {L"firm", paths.szWorking.c_str()},
        {L"local", paths.szTools.c_str()},
    };
    for (const auto& v : variables) {
        if (MtlSetVariable(v.name, v.value) != 0) {
            return false;
        }
    }
    if (MtlSelectProfile(m_dwHandle, L"Linux") != 0 || MtlSetBoardCount(m_dwHandle, 1) != 0) {
        return false;
    }
    if (!paths.szLog.empty() && MtlSetLogFile(paths.szLog.c_str()) != 0) {
        return false;
    }
    if (!paths.szScript.empty() && MtlSetScriptFile(m_dwHandle, paths.szScript.c_str()) != 0) {
        return false;
    }
    return true;
}

void CMfgLib::ReleaseOperation()
{
    // Results are not looked at: there may be nothing to release yet.
    MtlUnregisterCallback(m_dwHandle, MTL_CALLBACK_DEVICE_CHANGE, &CMfgLib::DeviceChangeCallback);
    MtlUnregisterCallback(m_dwHandle, MTL_CALLBACK_PROGRESS, &CMfgLib::ProgressCallback);
    MtlReleaseOperation(m_dwHandle);
    // Freed only now: the library may write into them until the operation
    // is released.
    m_pOperationInfo.reset();
    m_pPhaseInfo.reset();
    m_dwPhaseCount = 0;
    m_dwOperationId = 0;
}

bool CMfgLib::Prepare(const char* listName, MfgPreparation& out)
{
    if (!m_bInstance) {
        return false;
    }
    ReleaseOperation();

    const std::wstring list = AsciiToWide(listName);
    if (MtlSelectList(m_dwHandle, list.c_str()) != 0 || MtlInitOperation(m_dwHandle) != 0) {
        return false;
    }

    m_pOperationInfo = std::make_unique<unsigned char[]>(MFG_OPINFO_SIZE);  // zeroed
    MTL_INFO_REQUEST opRequest{0, m_pOperationInfo.get()};
    if (MtlGetOperationInfo(m_dwHandle, &opRequest) != 0) {
        return false;
    }
    MfgOperationInfo opInfo;
    MfgReadOperationInfo(std::span<const unsigned char>(m_pOperationInfo.get(), MFG_OPINFO_SIZE), opInfo);
    m_dwOperationId = opInfo.dwOperationId;
    m_bDevicePresent.store(opInfo.bConnected);

    const std::size_t phaseBytes = MFG_PHASE_MAX_RECORDS * MFG_PHASE_RECORD_SIZE;
    m_pPhaseInfo = std::make_unique<unsigned char[]>(phaseBytes);
    MTL_INFO_REQUEST phaseRequest{0, m_pPhaseInfo.get()};
    if (MtlGetPhaseInfo(m_dwHandle, &phaseRequest) != 0) {
        return false;
    }
    m_dwPhaseCount = phaseRequest.dwCount;
    if (MtlRegisterCallback(m_dwHandle, MTL_CALLBACK_DEVICE_CHANGE, &CMfgLib::DeviceChangeCallback) != 0 ||
        MtlRegisterCallback(m_dwHandle, MTL_CALLBACK_PROGRESS, &CMfgLib::ProgressCallback) != 0) {
        return false;
    }

    out.phases = MfgReadPhases(std::span<const unsigned char>(m_pPhaseInfo.get(), phaseBytes), m_dwPhaseCount);

    if (MtlFinishPreparation(m_dwHandle) != 0) {
        return false;
    }
    // Read last: a board may have come or gone while the callbacks were
    // being registered.
    out.bDevicePresent = m_bDevicePresent.load();
    return true;
}

DWORD CMfgLib::Start()
{
    return MtlStartOperation(m_dwHandle, m_dwOperationId);
}

DWORD CMfgLib::Stop()
{
    return MtlStopOperation(m_dwHandle, m_dwOperationId);
}

void CMfgLib::Shutdown()
{
    if (m_bInstance) {
        ReleaseOperation();
        MtlDestroyInstance(m_dwHandle);
        m_bInstance = false;
        m_dwHandle = 0;
    }
    if (m_bLibrary) {
        MtlUninitialize();
        m_bLibrary = false;
    }
}

void CMfgLib::SetNotifyTarget(MfgNotifyFunction function, void* context)
{
    std::lock_guard<std::mutex> lock(m_targetLock);
    m_pfnNotify = function;
    m_pNotifyContext = context;
}

void CMfgLib::Notify(UINT message, void* record)
{
    MfgNotifyFunction function;
    void* context;
    {
        std::lock_guard<std::mutex> lock(m_targetLock);
        function = m_pfnNotify;
        context = m_pNotifyContext;
    }
    if (function != nullptr) {
        function(context, message, record);
    }
}

void WINAPI CMfgLib::DeviceChangeCallback(void* record)
{
    CMfgLib* self = s_pInstance.load();
    std::uint32_t state = 0;
    if (self == nullptr || record == nullptr ||
        !MfgReadDeviceState(std::span<const unsigned char>(static_cast<const unsigned char*>(record),
                                                           MFG_DEVICE_RECORD_MIN_SIZE),
                            state)) {
        return;
    }
    const MfgPresence presence = MfgDevicePresence(state);
    if (presence == MfgPresence::Unknown) {
        return;  // a state that says nothing about the board
    }
    MfgDeviceNotice notice{presence == MfgPresence::Present, state};
    self->m_bDevicePresent.store(notice.bPresent);
    self->Notify(WRITER_MSG_DEVICE_CHANGE, &notice);
}

void WINAPI CMfgLib::ProgressCallback(void* record)
{
    CMfgLib* self = s_pInstance.load();
    MfgProgress progress;
    if (self == nullptr || record == nullptr ||
        !MfgReadProgress(std::span<const unsigned char>(static_cast<const unsigned char*>(record),
                                                        MFG_PROGRESS_RECORD_MIN_SIZE),
                         progress)) {
        return;
    }
    self->Notify(WRITER_MSG_PROGRESS, &progress);
}
