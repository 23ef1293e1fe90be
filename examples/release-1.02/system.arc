example system archive 1.02
