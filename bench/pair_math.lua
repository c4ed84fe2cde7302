-- pair arithmetic and axis paths: a million steps of a wrapping position
local p = {x = 0, y = 0}
for _ = 1, 1000000 do
    p = {x = p.x + 3, y = p.y + 1}
    if p.x > 1000 then p.x = p.x - 1000 end
end
print(string.format("%dx%d", p.x, p.y))
