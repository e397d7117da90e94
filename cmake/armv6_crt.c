/* Start-up support for the armhf module, linked instead of GCC's crtbeginS.o/crtendS.o
 * (the module is linked with -nostartfiles).
 *
 * Debian's arm-linux-gnueabihf toolchain builds those start files for ARMv7 in Thumb-2
 * mode, and their frame_dummy/__do_global_dtors_aux run from .init_array/.fini_array as
 * soon as the module is loaded or unloaded: on an ARMv6 core (ARM1176) that is an illegal
 * instruction before any of our code runs. Compiled with the module's flags
 * (-marm -march=armv6+fp), this file holds ARMv6 ARM-mode code only.
 *
 * What the shared object needs from the start files:
 *  - __dso_handle, which identifies this module to __cxa_atexit (destructors of static
 *    objects are registered against it);
 *  - a call to __cxa_finalize(__dso_handle) from the module's own destructor, so that if
 *    the module is ever unloaded with dlclose() those destructors run while its code is
 *    still mapped (at a normal exit, exit() has already run them).
 * The rest of crtbeginS.o (TM clone tables, the .eh_frame registration fallback) is not
 * used on this target: unwinding goes through .ARM.exidx, which the unwinder finds itself.
 */

/* Weak: a module without static destructors may end up not needing libc's copy. */
extern void __cxa_finalize(void *dso) __attribute__((weak));

/* Hidden, so that each shared object keeps its own handle, as with crtbeginS.o. */
void *__dso_handle __attribute__((visibility("hidden"))) = &__dso_handle;

__attribute__((destructor)) static void zerbano_run_static_destructors(void)
{
    if (__cxa_finalize)
        __cxa_finalize(__dso_handle);
}
