/* The benchmark's peer from Debian's libstb-dev, behind a C interface that
   ctypes can call: packs n rectangles into one w x h bin, writes x, y and a
   packed flag per rectangle, and returns whether all were packed. */
#define STB_RECT_PACK_IMPLEMENTATION
#include <stb/stb_rect_pack.h>

#include <stdlib.h>

int stb_pack(int bin_w, int bin_h, int n, const int* sizes, int* out_xyp) {
    stbrp_context context;
    stbrp_node* nodes = malloc(sizeof(stbrp_node) * (size_t)(bin_w > 0 ? bin_w : 1));
    stbrp_rect* rects = malloc(sizeof(stbrp_rect) * (size_t)(n > 0 ? n : 1));
    int all;
    for (int i = 0; i < n; ++i) {
        rects[i].id = i;
        rects[i].w = sizes[2 * i];
        rects[i].h = sizes[2 * i + 1];
    }
    stbrp_init_target(&context, bin_w, bin_h, nodes, bin_w);
    all = stbrp_pack_rects(&context, rects, n);
    for (int i = 0; i < n; ++i) {
        out_xyp[3 * rects[i].id] = rects[i].x;
        out_xyp[3 * rects[i].id + 1] = rects[i].y;
        out_xyp[3 * rects[i].id + 2] = rects[i].was_packed;
    }
    free(nodes);
    free(rects);
    return all;
}
