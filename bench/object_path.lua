local o = {x = 0, y = 0}
for _ = 1, 1000000 do o.x = o.x + 1 end
print(o.x)
