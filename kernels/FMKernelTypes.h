// Parameter block and constants shared by the host code and every kernel target.
// Only 4-byte members: the block must have one layout in C++, OpenCL C and CUDA,
// because it travels to the GPU by value.
#ifndef FM_KERNEL_TYPES_H
#define FM_KERNEL_TYPES_H

#define FM_MAX_TAPS 32
#define FM_T_FLOATS 96
#define FM_PARAMS_BYTES 552

// Edge modes of the 1D passes.
#define FM_EDGE_ZERO 0
#define FM_EDGE_CLAMP 1
#define FM_EDGE_INSIDE 2

// Group pass transforms.
#define FM_GROUP_TRANSLATE 0
#define FM_GROUP_ROTATE 1
#define FM_GROUP_SCALE 2

// Flag bits.
#define FM_F_ACCUM 1
#define FM_F_LINEAR 2
#define FM_F_HIGHLIGHT 4
#define FM_F_CLAMP01 8
#define FM_F_FRINGE 16
#define FM_F_SWAP_RB 32
#define FM_F_SRGB 64

// Iris rows that the outline crosses are sampled at four heights, 0.25 apart around the row.
// T is the caller's arithmetic: float in the kernels, double in the host's span lists.
#define FM_IRIS_SUBROWS 4
#define FM_IRIS_ROW_SPLITS(T, absDy, halfHeight) ((T)(absDy) + (T)1 > (halfHeight))
#define FM_IRIS_SUBROW_Y(T, dy, s) ((T)(dy) - (T)0.375f + (T)0.25f * (T)(s))

// Vector Blur types, in the order of the "Type" popup.
#define FM_VEC_NATURAL 1
#define FM_VEC_CONSTANT 2
#define FM_VEC_PERPENDICULAR 3
#define FM_VEC_DIR_CENTER 4
#define FM_VEC_DIR_FADING 5

// Map channels.
#define FM_CH_RED 1
#define FM_CH_GREEN 2
#define FM_CH_BLUE 3
#define FM_CH_ALPHA 4
#define FM_CH_LUMINANCE 5
#define FM_CH_LIGHTNESS 6
#define FM_CH_HUE 7
#define FM_CH_SATURATION 8

// Kernel identifiers. The names double as OpenCL kernel names and PTX entry names.
#define FM_KERNEL_COUNT 34
#define FM_K_CLEAR 0
#define FM_K_COPY 1
#define FM_K_IMPORT 2
#define FM_K_EXPORT 3
#define FM_K_BOX_ROWS 4
#define FM_K_BOX_COLS 5
#define FM_K_CONV_ROWS 6
#define FM_K_CONV_COLS 7
#define FM_K_GROUP 8
#define FM_K_PREFIX_ROWS 9
#define FM_K_LENS_GATHER 10
#define FM_K_LENS_PREP 11
#define FM_K_LENS_FINISH 12
#define FM_K_LENS_RADIUS 13
#define FM_K_DOWN 14
#define FM_K_UP 15
#define FM_K_VEC_SCALAR 16
#define FM_K_VECTOR 17
#define FM_K_FEAT 18
#define FM_K_HALF 19
#define FM_K_TMPL 20
#define FM_K_PATCH_INIT 21
#define FM_K_PATCH_SEARCH 22
#define FM_K_DENSIFY 23
#define FM_K_FLOW_REFINE 24
#define FM_K_FLOW_UP 25
#define FM_K_FLOW_STATS 26
#define FM_K_MVEL 27
#define FM_K_TILEMAX 28
#define FM_K_NEIGHBORMAX 29
#define FM_K_MBLUR 30
#define FM_K_MVVIEW 31
#define FM_K_FLOW_WARP 32
#define FM_K_FLOW_EDGES 33

// X-macro over all kernels in identifier order: X(id, name).
#define FM_KERNEL_LIST(X) \
  X(0, fm_clear) X(1, fm_copy) X(2, fm_import) X(3, fm_export) \
  X(4, fm_box_rows) X(5, fm_box_cols) X(6, fm_conv_rows) X(7, fm_conv_cols) \
  X(8, fm_group) X(9, fm_prefix_rows) X(10, fm_lens_gather) X(11, fm_lens_prep) \
  X(12, fm_lens_finish) X(13, fm_lens_radius) X(14, fm_down) X(15, fm_up) \
  X(16, fm_vec_scalar) X(17, fm_vector) X(18, fm_feat) X(19, fm_half) \
  X(20, fm_tmpl) X(21, fm_patch_init) X(22, fm_patch_search) X(23, fm_densify) \
  X(24, fm_flow_refine) X(25, fm_flow_up) X(26, fm_flow_stats) X(27, fm_mvel) \
  X(28, fm_tilemax) X(29, fm_neighbormax) X(30, fm_mblur) X(31, fm_mvview) \
  X(32, fm_flow_warp) X(33, fm_flow_edges)

typedef struct FMParams {
  int dW, dH, dP;
  int aW, aH, aP;
  int bW, bH, bP;
  int y0, y1;
  int mode;
  int n;
  int segLen;
  int lo, hi;
  int lo2, hi2;
  int ax, ay;
  int bx, by;
  int flags;
  int count;
  int channel;
  int pad0;
  float frac;
  float norm;
  float cx, cy;
  float kx, ky;
  float g0, g1, g2, g3, g4, g5, g6, g7, g8, g9;
  float t[FM_T_FLOATS];
} FMParams;

#endif
