local b = {}
for i = 1, 1000000 do b[#b + 1] = i % 100 end
local sum = 0
for _ = 1, 10 do
  for _, v in ipairs(b) do sum = sum + v end
end
print(sum)
