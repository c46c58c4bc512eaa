// One registration function per benchmark case, called by main in this order.
#pragma once

namespace zr_bench {

void register_fill_cases();      // full-frame clear and filled rectangle
void register_copy_cases();      // full-frame buffer to screen
void register_bitmap_cases();    // bitmap to screen, converting
void register_blend_cases();     // alpha blend to screen
void register_shape_cases();     // lines, circles, ellipses, rectangles
void register_bmp_load_cases();  // BMP files from the page cache
void register_image_cases();     // PNG and JPEG from memory, loaded and shown
void register_present_cases();  // zr_present: shadow copy and pan, by damage
void register_text_cases();      // text: cached draws, measuring, first draw
void register_other_cases();     // calls without a peer
void register_smooth_cases();    // anti-aliased shapes beside cairo and AGG

}  // namespace zr_bench
