from decimal import Decimal

total = Decimal(0)
n = Decimal(0)
step = Decimal("0.01")
for _ in range(1000000):
    n = n + step
    total = total + n
print("$%s" % total.quantize(Decimal("0.00001")))
