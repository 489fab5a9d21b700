/* The kernel-mode test driver: a WDM function driver for root-enumerated
 * devices that plays the notebook's misc driver and its battery class
 * devices, so that cellvaro.exe meets them through Windows' own SetupAPI,
 * registry, CreateFileW and DeviceIoControl.
 *
 * Hardware ID Root\CellvaroSimMisc gets an interface of the misc driver's
 * class; Root\CellvaroSimBattery<i> gets a battery class interface and is
 * battery i. Every request is answered by the simulated devices of host.cpp.
 * The notebook they play is the REG_BINARY value "Notebook" under the
 * service's Parameters key, read at every open; after every request the
 * driver writes what it saw to the value "Log" beside it. */
#include <ntddk.h>

#include "host.h"

#define SIM_POOL_TAG 0x6D537643u /* "CvSm" */
#define SIM_MAX_VALUE 8192u      /* largest notebook value read */
#define SIM_HARDWARE_ID_CHARS 256u

static const GUID kMiscInterface = {
    0x80DCC0C5, 0xBD3E, 0x4BC0, {0x8A, 0x06, 0x11, 0xEA, 0xE4, 0xAE, 0x72, 0x24}};
static const GUID kBatteryInterface = {
    0x72631E54, 0x78A4, 0x11D0, {0xBC, 0xF7, 0x00, 0xAA, 0x00, 0xB7, 0xB3, 0x2A}};

static const WCHAR kMiscHardwareId[] = L"root\\cellvarosimmisc";
static const WCHAR kBatteryHardwareId[] = L"root\\cellvarosimbattery";

typedef struct SIM_DEVICE_EXTENSION {
    PDEVICE_OBJECT lower;
    UNICODE_STRING link;
    BOOLEAN link_registered;
    uint32_t device; /* SIM_DEVICE_MISC or SIM_DEVICE_BATTERY0 + index */
} SIM_DEVICE_EXTENSION;

static UNICODE_STRING g_parameters; /* the service key's Parameters subkey */
static KMUTEX g_lock;
static UCHAR g_value[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + SIM_MAX_VALUE];

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path);

/* Support for host.cpp. */

void SimKernelEntropy(uint8_t out[16]) {
    LARGE_INTEGER counter = KeQueryPerformanceCounter(NULL);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    for (int i = 0; i < 8; i++) {
        out[i] = (uint8_t)((ULONGLONG)counter.QuadPart >> (8 * i));
        out[8 + i] = (uint8_t)((ULONGLONG)now.QuadPart >> (8 * i));
    }
}

void *SimKernelAllocate(uint32_t size) {
    return ExAllocatePoolWithTag(NonPagedPool, size, SIM_POOL_TAG);
}

void SimKernelFree(void *block) { ExFreePoolWithTag(block, SIM_POOL_TAG); }

void SimKernelRaise(uint32_t code) {
    ExRaiseStatus((NTSTATUS)code);
    KeBugCheckEx(code, 0, 0, 0, 0);
    for (;;) {
    }
}

/* The status that makes the caller see this Win32 error: the I/O manager's
 * own statuses for the errors the devices report, and the Win32 facility
 * for any other. STATUS_BUFFER_OVERFLOW is a warning: the data and the
 * count still reach the caller. */
static NTSTATUS StatusForError(uint32_t error) {
    switch (error) {
    case 1: return STATUS_INVALID_DEVICE_REQUEST;  /* ERROR_INVALID_FUNCTION */
    case 2: return STATUS_NO_SUCH_FILE;            /* ERROR_FILE_NOT_FOUND */
    case 5: return STATUS_ACCESS_DENIED;           /* ERROR_ACCESS_DENIED */
    case 8: return STATUS_NO_MEMORY;               /* ERROR_NOT_ENOUGH_MEMORY */
    case 31: return STATUS_UNSUCCESSFUL;           /* ERROR_GEN_FAILURE */
    case 32: return STATUS_SHARING_VIOLATION;      /* ERROR_SHARING_VIOLATION */
    case 50: return STATUS_NOT_SUPPORTED;          /* ERROR_NOT_SUPPORTED */
    case 87: return STATUS_INVALID_PARAMETER;      /* ERROR_INVALID_PARAMETER */
    case 122: return STATUS_BUFFER_TOO_SMALL;      /* ERROR_INSUFFICIENT_BUFFER */
    case 234: return STATUS_BUFFER_OVERFLOW;       /* ERROR_MORE_DATA */
    default: return (NTSTATUS)(0xC0070000u | (error & 0xFFFFu));
    }
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS OpenParameters(HANDLE *key, BOOLEAN create) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &g_parameters, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               NULL, NULL);
    if (create)
        return ZwCreateKey(key, KEY_SET_VALUE, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL);
    return ZwOpenKey(key, KEY_QUERY_VALUE, &attributes);
}

/* Under the lock: hands the current notebook value to the devices. */
static void LoadNotebook(void) {
    HANDLE key;
    UNICODE_STRING name;
    ULONG size = 0;
    RtlInitUnicodeString(&name, L"Notebook");
    if (!NT_SUCCESS(OpenParameters(&key, FALSE))) return;
    NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, g_value,
                                      sizeof g_value, &size);
    ZwClose(key);
    if (!NT_SUCCESS(status)) return;
    KEY_VALUE_PARTIAL_INFORMATION *value = (KEY_VALUE_PARTIAL_INFORMATION *)g_value;
    if (value->Type != REG_BINARY || value->DataLength > SIM_MAX_VALUE) return;
    SimHostLoadNotebook(value->Data, value->DataLength);
}

/* Under the lock: writes the log value. */
static void WriteLog(void) {
    HANDLE key;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Log");
    if (!NT_SUCCESS(OpenParameters(&key, TRUE))) return;
    ZwSetValueKey(key, &name, 0, REG_BINARY, (PVOID)SimHostEncodeLog(), SimHostLogSize());
    ZwClose(key);
}

static void Lock(void) { KeWaitForSingleObject(&g_lock, Executive, KernelMode, FALSE, NULL); }
static void Unlock(void) { KeReleaseMutex(&g_lock, FALSE); }

static SIM_DEVICE_EXTENSION *Extension(PDEVICE_OBJECT device) {
    return (SIM_DEVICE_EXTENSION *)device->DeviceExtension;
}

/* Wine 8.0 hands out the handle before the open request completes, so a
 * refused open still gives the caller a handle. The file object then keeps
 * the open's error (in FsContext2, which no file system uses here), and
 * every request on that handle fails with it. */
static uint32_t OpenError(PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return file ? (uint32_t)(ULONG_PTR)file->FsContext2 : 0;
}

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
    Lock();
    LoadNotebook();
    SimReply reply = SimHostOpen(Extension(device)->device);
    WriteLog();
    Unlock();
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file) file->FsContext2 = reply.result ? NULL : (PVOID)(ULONG_PTR)reply.last_error;
    return Complete(irp, reply.result ? STATUS_SUCCESS : StatusForError(reply.last_error), 0);
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
    Lock();
    SimHostClose(Extension(device)->device);
    WriteLog();
    Unlock();
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    uint32_t code = stack->Parameters.DeviceIoControl.IoControlCode;
    uint32_t in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
    uint32_t out_capacity = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t *buffer = (uint8_t *)irp->AssociatedIrp.SystemBuffer;
    if ((code & 3u) != METHOD_BUFFERED || buffer == NULL) {
        /* Only buffered requests carry their data in the system buffer. */
        in_size = 0;
        out_capacity = 0;
        buffer = NULL;
    }
    Lock();
    SimReply reply = SimHostControl(Extension(device)->device, code, buffer, in_size, buffer,
                                    out_capacity, OpenError(irp));
    WriteLog();
    Unlock();
    if (reply.result) return Complete(irp, STATUS_SUCCESS, reply.bytes);
    NTSTATUS status = StatusForError(reply.last_error);
    return Complete(irp, status, NT_WARNING(status) ? reply.bytes : 0);
}

static NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Extension(device)->lower, irp);
}

static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Extension(device)->lower, irp);
}

static NTSTATUS NTAPI OnLowerDone(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    (void)device;
    (void)irp;
    KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Sends the request to the lower device and waits until it completes there. */
static NTSTATUS ForwardAndWait(SIM_DEVICE_EXTENSION *ext, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OnLowerDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

static void SetInterface(SIM_DEVICE_EXTENSION *ext, BOOLEAN enable) {
    if (ext->link_registered) IoSetDeviceInterfaceState(&ext->link, enable);
}

static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    SIM_DEVICE_EXTENSION *ext = Extension(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(ext, irp);
        if (NT_SUCCESS(status)) SetInterface(ext, TRUE);
        return Complete(irp, status, irp->IoStatus.Information);
    case IRP_MN_SURPRISE_REMOVAL:
        SetInterface(ext, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    case IRP_MN_REMOVE_DEVICE: {
        PDEVICE_OBJECT lower = ext->lower;
        SetInterface(ext, FALSE);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        status = IoCallDriver(lower, irp);
        if (ext->link_registered) RtlFreeUnicodeString(&ext->link);
        ext->link_registered = FALSE;
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, irp);
    default:
        return PassDown(device, irp);
    }
}

/* The device a hardware ID names: 0 and the kind for ours, an error status
 * for any other. The comparison ignores ASCII case. */
static NTSTATUS DeviceForHardwareId(const WCHAR *id, uint32_t *device) {
    WCHAR lower[SIM_HARDWARE_ID_CHARS];
    size_t n = 0;
    for (; id[n] && n + 1 < SIM_HARDWARE_ID_CHARS; n++)
        lower[n] = (id[n] >= L'A' && id[n] <= L'Z') ? (WCHAR)(id[n] - L'A' + L'a') : id[n];
    lower[n] = 0;
    size_t misc = sizeof kMiscHardwareId / sizeof(WCHAR) - 1;
    size_t battery = sizeof kBatteryHardwareId / sizeof(WCHAR) - 1;
    if (n == misc && RtlCompareMemory(lower, kMiscHardwareId, misc * sizeof(WCHAR)) == misc * sizeof(WCHAR)) {
        *device = SIM_DEVICE_MISC;
        return STATUS_SUCCESS;
    }
    if (n == battery + 1 &&
        RtlCompareMemory(lower, kBatteryHardwareId, battery * sizeof(WCHAR)) == battery * sizeof(WCHAR) &&
        lower[battery] >= L'0' && lower[battery] <= L'9') {
        *device = SIM_DEVICE_BATTERY0 + (uint32_t)(lower[battery] - L'0');
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_SUPPORTED;
}

static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    WCHAR ids[SIM_HARDWARE_ID_CHARS + 2];
    ULONG size = 0;
    uint32_t kind = 0;
    RtlZeroMemory(ids, sizeof ids);
    NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID,
                                          SIM_HARDWARE_ID_CHARS * sizeof(WCHAR), ids, &size);
    if (!NT_SUCCESS(status)) return status;
    status = DeviceForHardwareId(ids, &kind);
    if (!NT_SUCCESS(status)) return status;

    PDEVICE_OBJECT fdo = NULL;
    status = IoCreateDevice(driver, sizeof(SIM_DEVICE_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    SIM_DEVICE_EXTENSION *ext = Extension(fdo);
    RtlZeroMemory(ext, sizeof *ext);
    ext->device = kind;
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (ext->lower == NULL) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    status = IoRegisterDeviceInterface(pdo, kind == SIM_DEVICE_MISC ? &kMiscInterface : &kBatteryInterface,
                                       NULL, &ext->link);
    if (!NT_SUCCESS(status)) {
        IoDetachDevice(ext->lower);
        IoDeleteDevice(fdo);
        return status;
    }
    ext->link_registered = TRUE;
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI DriverUnload(PDRIVER_OBJECT driver) {
    (void)driver;
    if (g_parameters.Buffer) ExFreePoolWithTag(g_parameters.Buffer, SIM_POOL_TAG);
    g_parameters.Buffer = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    static const WCHAR kSuffix[] = L"\\Parameters";
    USHORT suffix = (USHORT)(sizeof kSuffix - sizeof(WCHAR));
    USHORT length = (USHORT)(registry_path->Length + suffix);
    g_parameters.Buffer = (PWCH)ExAllocatePoolWithTag(NonPagedPool, length + sizeof(WCHAR), SIM_POOL_TAG);
    if (g_parameters.Buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(g_parameters.Buffer, registry_path->Buffer, registry_path->Length);
    RtlCopyMemory((PUCHAR)g_parameters.Buffer + registry_path->Length, kSuffix, sizeof kSuffix);
    g_parameters.Length = length;
    g_parameters.MaximumLength = (USHORT)(length + sizeof(WCHAR));

    KeInitializeMutex(&g_lock, 0);
    SimHostInitialize();

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = PassDown;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}
