// writer_strings: see the header. The texts are the system's own, letter for
// letter (104 really reads "WARING").

#include "writer_strings.h"

#include "firm_extractor.h"

const char* WriterString(std::uint32_t id)
{
    switch (id) {
        case IDS_ABOUTBOX:
            return "About KOVALanZozeZaderi...";
        case IDS_COM_INIT_FAILED:
            return "WARNING: COM Initialization failed";
        case IDS_LIBRARY_INIT_FAILED:
            return "WARNING: Library Initialization failed";
        case IDS_START_FAILED:
            return "WARING: Start command failed";
        case IDS_UPDATE_COMPLETED:
            return "Firmware Update completed";
        case IDS_UPDATE_FAILED:
            return "WARNING: Firmware update failed";
        case IDS_FOLDER_INIT_FAILED:
            return "WARNING: Folder Initialization failed";
        case IDS_FILE_LOAD_ERROR:
            return "WARNING: File load error";
        case IDS_DEFAULT_EXTENSION:
            return "*.bin";
        case IDS_FILE_FILTER:
            return "KOVA-LAN Firmware (*.bin)|*.bin|All Files (*.*)|*.*|| ";
        case IDS_FILE_READ_ERROR:
            return "WARNING: File read error";
        case IDS_FILE_WRITE_ERROR:
            return "WARNING: File write error";
        case IDS_CHECKSUM_ERROR:
            return "WARNING: Checksum error. File might be broken.";
        case IDS_NOT_FIRMWARE:
            return "WARNING: This file is not a KOVA LAN-UNIT firmware";
        default:
            return nullptr;
    }
}

std::uint32_t FirmStatusStringId(std::uint32_t status)
{
    switch (status) {
        case FIRM_STATUS_READ_ERROR:
            return IDS_FILE_READ_ERROR;
        case FIRM_STATUS_WRITE_ERROR:
            return IDS_FILE_WRITE_ERROR;
        case FIRM_STATUS_CHECKSUM_ERROR:
            return IDS_CHECKSUM_ERROR;
        case FIRM_STATUS_NOT_PACKAGE:
            return IDS_NOT_FIRMWARE;
        default:
            return 0;
    }
}
