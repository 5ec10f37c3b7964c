// The run's thread budget: how many threads work at once, in the whole
// process, besides the conversions' own threads: the built-in encoder's
// segments and the hunks of a CHD decoded ahead. The conversions side by
// side share it. At least 1; 1 until set.
#pragma once

// Whether this build can start threads at all: the browser's build without
// them can't, and then every part does its work on the thread that calls it.
bool threads_can_start();

// Sets the number of threads the budget allows at once.
void set_thread_budget(unsigned threads);
// The number of threads the budget allows at once.
unsigned thread_budget();

// Takes a slot of the budget, waiting until one is free; give_thread_slot
// gives it back.
void take_thread_slot();
// Takes a free slot, or returns false at once when none is.
bool try_take_thread_slot();
void give_thread_slot();
