// The slice of the OpenCL 1.2 interface the backend calls, declared here so that nothing needs the
// system's OpenCL headers or library: the runtime is found by name when the program is run. Types
// and values are those of the published headers; they live in namespace fm so that a file may
// also include the official headers without a clash.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define FM_CL_CALL __stdcall
#else
#define FM_CL_CALL
#endif

namespace fm {

using cl_int = int32_t;
using cl_uint = uint32_t;
using cl_ulong = uint64_t;
using cl_bool = cl_uint;
using cl_mem_flags = cl_ulong;
using cl_command_queue_properties = cl_ulong;
using cl_program_build_info = cl_uint;
using cl_command_queue_info = cl_uint;

struct OpenCLContextObject;
struct OpenCLDeviceObject;
struct OpenCLQueueObject;
struct OpenCLProgramObject;
struct OpenCLKernelObject;
struct OpenCLMemObject;
struct OpenCLEventObject;
using cl_context = OpenCLContextObject*;
using cl_device_id = OpenCLDeviceObject*;
using cl_command_queue = OpenCLQueueObject*;
using cl_program = OpenCLProgramObject*;
using cl_kernel = OpenCLKernelObject*;
using cl_mem = OpenCLMemObject*;
using cl_event = OpenCLEventObject*;

constexpr cl_int kClSuccess = 0;
constexpr cl_bool kClTrue = 1;
constexpr cl_mem_flags kClMemReadWrite = 1;
constexpr cl_program_build_info kClProgramBuildLog = 0x1183;
constexpr cl_command_queue_info kClQueueProperties = 0x1093;
constexpr cl_command_queue_properties kClQueueOutOfOrderExecModeEnable = 1;

// Entry points of the loaded runtime. The last three are optional and may be null.
struct OpenCLApi {
  cl_program(FM_CL_CALL* createProgramWithSource)(cl_context, cl_uint count, const char** strings,
                                                   const size_t* lengths, cl_int* error);
  cl_int(FM_CL_CALL* buildProgram)(cl_program, cl_uint deviceCount, const cl_device_id* devices, const char* options,
                                   void(FM_CL_CALL* notify)(cl_program, void*), void* userData);
  cl_int(FM_CL_CALL* getProgramBuildInfo)(cl_program, cl_device_id, cl_program_build_info, size_t size, void* value,
                                          size_t* sizeOut);
  cl_kernel(FM_CL_CALL* createKernel)(cl_program, const char* name, cl_int* error);
  cl_int(FM_CL_CALL* releaseKernel)(cl_kernel);
  cl_int(FM_CL_CALL* releaseProgram)(cl_program);
  cl_int(FM_CL_CALL* setKernelArg)(cl_kernel, cl_uint index, size_t size, const void* value);
  cl_int(FM_CL_CALL* enqueueNDRangeKernel)(cl_command_queue, cl_kernel, cl_uint dimensions, const size_t* offset,
                                           const size_t* global, const size_t* local, cl_uint waitCount,
                                           const cl_event* waitList, cl_event* event);
  cl_mem(FM_CL_CALL* createBuffer)(cl_context, cl_mem_flags, size_t size, void* host, cl_int* error);
  cl_int(FM_CL_CALL* releaseMemObject)(cl_mem);
  cl_int(FM_CL_CALL* enqueueWriteBuffer)(cl_command_queue, cl_mem, cl_bool blocking, size_t offset, size_t size,
                                         const void* host, cl_uint waitCount, const cl_event* waitList,
                                         cl_event* event);
  cl_int(FM_CL_CALL* enqueueReadBuffer)(cl_command_queue, cl_mem, cl_bool blocking, size_t offset, size_t size,
                                        void* host, cl_uint waitCount, const cl_event* waitList, cl_event* event);
  cl_int(FM_CL_CALL* finish)(cl_command_queue);
  cl_int(FM_CL_CALL* getCommandQueueInfo)(cl_command_queue, cl_command_queue_info, size_t size, void* value,
                                          size_t* sizeOut);
  cl_int(FM_CL_CALL* enqueueBarrierWithWaitList)(cl_command_queue, cl_uint waitCount, const cl_event* waitList,
                                                 cl_event* event);
  cl_int(FM_CL_CALL* enqueueBarrier)(cl_command_queue);
};

}  // namespace fm
