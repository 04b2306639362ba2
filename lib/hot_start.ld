/* Augments the linker's own script for the preload library (INSERT): the
   code of the tree's short lives (ZYG_HOT_CODE, base/layout.h: a program
   that only starts and ends, a fork child on its way to its exec or end)
   goes with the read-only data right after the loader's tables and the
   PLT, and the rest of the code follows a one-page gap. The gap makes the
   two separate segments, so separate mappings: the kernel maps the file
   pages around a page fault (up to 16) but never past the end of a
   mapping, so those lives map the first segment alone. */
SECTIONS
{
  .text.zyg_hot :
  {
    /* The loader calls _init and _fini, and the C runtime's constructor and
       destructor of the library, in every program. */
    *crtbeginS.o(.text .text.*)
    KEEP (*(SORT_NONE(.fini)))
    *(.text.zyg_hot)
    /* The compiler's helpers (a population count) that the code above calls. */
    *libgcc.a:*(.text .text.*)
  }
  .rodata.zyg_hot : { *(.rodata .rodata.*) }
  . = ALIGN(CONSTANT (MAXPAGESIZE)) + CONSTANT (MAXPAGESIZE);
}
INSERT AFTER .plt.sec;
