// Instruction set selection of the pixel format conversions. The library
// picks the widest set the CPU supports on first use; tests select each one
// in turn to check that all of them give identical results.
#pragma once

enum vx_conv_isa_e {
    VX_CONV_ISA_BASE = 0,  // SSE4.1, the x86-64-v2 baseline
    VX_CONV_ISA_AVX2 = 1,  // 256-bit steps, when the CPU has AVX2
};

// The widest instruction set this CPU supports.
vx_conv_isa_e _vx_conv_isa_best();
// Use isa from now on, or the best supported one if the CPU lacks it;
// returns the set in force. Meant for tests: not for use while conversions
// run on other threads.
vx_conv_isa_e _vx_conv_set_isa(vx_conv_isa_e isa);
