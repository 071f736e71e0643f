"""Parameter-recovery demo (grows as the operations land)."""
import ventrola

print("ventrola", ventrola.__version__)
