# The fill kernels and the mask building over random strips. The suite runs a
# short seeded share; run the program by hand for longer, best in the
# sanitizer build (docs/robustness.md).
add_executable(pelvane_kernel_fuzz fuzz/kernel_fuzz.cpp)
target_link_libraries(pelvane_kernel_fuzz PRIVATE pelvane_job)
add_test(NAME KernelFuzz COMMAND pelvane_kernel_fuzz --seed 1 --cases 500)
