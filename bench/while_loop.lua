local n = 0
while n < 10000000 do n = n + 1 end
print(n)
