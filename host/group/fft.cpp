// The group's FFT (filled in next).
