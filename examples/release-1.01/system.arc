example system archive 1.01
