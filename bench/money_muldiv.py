from decimal import Decimal, ROUND_DOWN

unit = Decimal("0.00001")
total = Decimal(0)
m = Decimal("1.5")
step = Decimal("0.01")
rate = Decimal("1.25")
for _ in range(100000):
    m = m + step
    total = total + (m * rate).quantize(unit, ROUND_DOWN) + (m / 7).quantize(unit, ROUND_DOWN)
print("$%s" % total.quantize(unit))
