#pragma once

// The handlers' fixed messages, as the unit's technicians know them. The job
// check gives the same texts before the port opens, so they live here once;
// a message changed here changes everywhere it can appear.

// Any handler.
inline constexpr const char* kInstructionUnknown = "Instruction unknown";
inline constexpr const char* kTooManyRetries = "Too Many Transmission Error !!!";
inline constexpr const char* kNotFound = " File not found !!!";  // after the path
inline constexpr const char* kNotAllowed = "Update Not Allowed !!!";

// Boot and keyboard uploads.
inline constexpr const char* kBootFileEmpty = "Boot File Empty !!!";
inline constexpr const char* kKeybFileEmpty = "Keyb File Empty !!!";
inline constexpr const char* kBadChecksumValue = "Bad checksum value !!!";
inline constexpr const char* kBadDeviceType = "Bad type of device !!!";
inline constexpr const char* kEraseError = "Error while erasing !!!";
inline constexpr const char* kWriteError = "Error while writing!!!";
inline constexpr const char* kChecksumError = "Checksum Error";
inline constexpr const char* kHexLineError = "Error in HEX file ";  // NAME line : N

// General instructions.
inline constexpr const char* kWriteVersionError = "Error while writing version number !!!";
inline constexpr const char* kReadVersionError = "Error while reading version number !!!";
inline constexpr const char* kBadWaitTime = "Bad wait time !!!";

// PROM updates.
inline constexpr const char* kEffectFileEmpty = "Effect File Empty !!!";
inline constexpr const char* kEffectReadError = "Error while reading Effect file !!!";
inline constexpr const char* kEffectFileLineError = "Error in Effect file line : ";
inline constexpr const char* kEffectExecutionError = "Error while executing Effect file line : ";
