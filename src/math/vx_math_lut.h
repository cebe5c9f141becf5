// The arctangent table behind the integer arctangent of the distance
// calculation: entry i = round(atan2(i, 4095) * 32768 / 2pi), rounded half
// away from zero, i.e. the angle of the slope i / 4095 in units of 1/32768
// of a full turn, from 0 to 4096. The table is the output of
// vx_math_lut_print_arctan2(4096), checked in as vx_math_lut.cpp; the unit
// tests compare the two.
#pragma once

#include <cstdint>

#define ARCTAN2_LUT_NUM 4096

extern const uint16_t g_atan2_LUT[ARCTAN2_LUT_NUM];
