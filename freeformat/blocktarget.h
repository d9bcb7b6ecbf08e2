// The target regions of the block classifier's wider forms (and of the
// pattern read's thirty-two-byte check): the functions
// defined between VELMORA_TARGET_BEGIN("isa,...") and VELMORA_TARGET_END
// are compiled for those instruction sets, each as if it carried the target
// attribute, so that the rest of the program keeps the baseline's and a
// form runs only once the processor is known to have them. Private to the
// block classifier's files and the pattern read.
#pragma once

#define VELMORA_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define VELMORA_TARGET_BEGIN(isa) VELMORA_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define VELMORA_TARGET_END VELMORA_PRAGMA(clang attribute pop)
#else
#define VELMORA_TARGET_BEGIN(isa) VELMORA_PRAGMA(GCC push_options) VELMORA_PRAGMA(GCC target(isa))
#define VELMORA_TARGET_END VELMORA_PRAGMA(GCC pop_options)
#endif
