// CRC-16/MODBUS as the projector checks it: reflected polynomial 0xA001, initial value 0xFFFF,
// no final XOR (check value 0x4B37 over "123456789"). On the wire its low byte comes first.
#pragma once

#include <cstddef>
#include <cstdint>

uint16_t ModbusCrc16(const uint8_t* pData, size_t nLength);
